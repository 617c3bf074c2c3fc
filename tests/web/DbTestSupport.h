#pragma once
// The database side of the console's tests: procedures called as the data layer calls them.
#include <gtest/gtest.h>

#include <string>

#include "tools/corvex-db/ProcedureCall.h"

namespace webtest {

// Calls dbo."name", expecting it to return 0; the named output (a NULL one as ""), else "".
inline std::string CallProcedure(corvexdb::PgConnection& conn, const std::string& name, const corvexdb::ProcedureArgs& args,
                                 const char* output = nullptr)
{
  const corvexdb::ProcedureResult r = corvexdb::CallProcedure(conn, name, args);
  EXPECT_EQ(r.returnValue, 0) << name;
  return output ? r.Output(output).value_or("") : "";
}

}  // namespace webtest
