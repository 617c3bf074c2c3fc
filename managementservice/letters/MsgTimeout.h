#pragma once
// The time to live of every letter, in seconds: registry value "MessageTimeoutSecs" under the
// service's key, read anew for each letter, 1209600 (14 days) when the key or value is missing.
// A value that is there is used as it is, without bounds.
int GetMsgTimeout();

inline constexpr int kDefaultMsgTimeoutSecs = 1209600;
