#pragma once
// Creators of message objects from envelopes, and the process-wide table from message type to
// creator that the receiver copies.
#include <map>
#include <new>
#include <stdexcept>
#include <string>

#include "idl/CorvexMessaging.hh"
#include "managementservice/messages/DecodedMessage.h"
#include "managementservice/TraceComponent.h"
#include "platform/trace/Trace.h"

using MessageCreator = DecodedMessage* (*)(const CorvexMessaging::Envelope&);

// Runs a construction; whatever it throws is logged and gives null.
template <class Make>
DecodedMessage* GuardedCreate(Make make)
{
  try {
    return make();
  } catch (const std::bad_alloc& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CreatorFn Caught bad alloc (%hs)\n", e.what());
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CreatorFn Caught (%hs)\n", e.what());
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CreatorFn Caught something else\n");
  }
  return nullptr;
}

// Builds a T from the envelope; whatever the construction throws is logged and gives null.
template <class T>
DecodedMessage* CreatorFn(const CorvexMessaging::Envelope& envelope)
{
  return GuardedCreate([&] { return new T(envelope); });
}

// The creator of messages that are read and dropped.
DecodedMessage* NullCreator(const CorvexMessaging::Envelope& envelope);

// Message type text -> creator, built once on first use.
const std::map<std::string, MessageCreator>& MessageTypeTable();
