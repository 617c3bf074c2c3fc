#pragma once
// The database session the message processors run their session-channel commands on: the
// calling thread's own (ThreadSession), else the service module's or one a test put in its place.
class CPTLSession;

// std::logic_error when there is none (before start-up opened it, after shutdown closed it).
CPTLSession& MessageSession();
// Null gives the module's session back.
void SetMessageSession(CPTLSession* session);
