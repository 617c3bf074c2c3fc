#pragma once
// Where letters find the messaging connection they are sent through: the service module's,
// unless a tool or test put its own in place. (Their database session is the message
// processors' one, MessageSession.)
#include <functional>

#include "messaging/ClientLibrary.h"

namespace letters {

using ConnectionSource = std::function<ZiriviridUrurezArevudUza::IConnection*()>;

// An empty source falls back to the service module's connection.
void SetLetterConnection(ConnectionSource connection);

// Null while the service is not connected (yet, or any more).
ZiriviridUrurezArevudUza::IConnection* LetterConnection();

}  // namespace letters
