// Each kind of exception that ends start-up gets its own event, text and answer; anything that
// is not a standard or COM error still ends start-up cleanly, as event 670.
#include <gtest/gtest.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

#include "managementservice/host/EventLogger.h"
#include "managementservice/host/ServiceModule.h"
#include "platform/com/ComError.h"
#include "resources/EventMessages.h"

namespace {

struct Case
{
  const char* kind;
  std::exception_ptr failure;
  DWORD event;
  const wchar_t* text;
  HRESULT answer;
};

}  // namespace

TEST(StartUpFailure, EachKindOfExceptionHasItsEventTextAndAnswer)
{
  struct Thrown
  {
  };
  const std::vector<Case> cases = {
    {"out of memory", std::make_exception_ptr(std::bad_alloc()), EVMSG_OUT_OF_MEMORY,
     L"The service ran out of memory. std::bad_alloc", E_OUTOFMEMORY},
    {"run-time error", std::make_exception_ptr(std::runtime_error("no messaging directory")), EVMSG_STARTUP_RUNTIME_ERROR,
     L"The service could not start because of a run-time error: no messaging directory", E_FAIL},
    {"COM error", std::make_exception_ptr(_com_error(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))), EVMSG_COM_ERROR, nullptr,
     HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    {"a standard exception of another kind", std::make_exception_ptr(std::logic_error("not ours")),
     EVMSG_STARTUP_UNKNOWN_ERROR, L"The service could not start: Caught unknown error", E_UNEXPECTED},
    {"no standard type at all", std::make_exception_ptr(Thrown{}), EVMSG_STARTUP_UNKNOWN_ERROR,
     L"The service could not start: Caught unknown error", E_UNEXPECTED},
  };
  for (const Case& c : cases) {
    std::vector<EventRecord> events;
    SetEventCapture([&](const EventRecord& r) { events.push_back(r); });
    const HRESULT answer = ReportStartUpFailure(c.failure);
    SetEventCapture(nullptr);
    EXPECT_EQ(answer, c.answer) << c.kind;
    ASSERT_EQ(events.size(), 1u) << c.kind;
    EXPECT_EQ(events[0].id, c.event) << c.kind;
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE) << c.kind;
    if (c.text)
      EXPECT_EQ(events[0].text, c.text) << c.kind;
    else
      EXPECT_EQ(events[0].text.rfind(L"The service could not start because of a COM error: ", 0), 0u) << c.kind;
  }
}
