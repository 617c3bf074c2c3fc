#pragma once
// Where letters find the messaging connection they are sent through and the database session
// they read addresses from: the service module's, unless a tool or test put its own in place.
#include <functional>

#include "messaging/ClientLibrary.h"

class CPTLSession;

namespace letters {

using ConnectionSource = std::function<ZiriviridUrurezArevudUza::IConnection*()>;
using SessionSource = std::function<CPTLSession*()>;

// Empty sources fall back to the service module's.
void SetLetterServices(ConnectionSource connection, SessionSource session);

// Null while the service is not connected (yet, or any more).
ZiriviridUrurezArevudUza::IConnection* LetterConnection();
// Null while the service's session is not open.
CPTLSession* LetterSession();

}  // namespace letters
