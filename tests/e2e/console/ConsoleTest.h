#pragma once
// What the console tests share: a scratch database named in a registry of the test's own, and
// corvexctl run against it.
#include <gtest/gtest.h>

#include "tests/e2e/support/ConsoleOutput.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/ProcedureCall.h"

namespace e2e {

class ConsoleTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    WriteServiceRegistry(m_dir, m_database.Name());
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg"};
  }

  int Console(const std::vector<std::string>& args, std::string& out)
  {
    return e2e::Run(CORVEXCTL_PATH, args, m_env, m_dir / ("ctl" + std::to_string(++m_runs) + ".out"), out);
  }

  corvexdb::ProcedureResult Call(const std::string& name, const corvexdb::ProcedureArgs& args)
  {
    corvexdb::ProcedureResult result = corvexdb::CallProcedure(m_db, name, args);
    EXPECT_EQ(result.returnValue, 0) << name;
    return result;
  }

  ScratchDir m_dir{"corvex-e2e-ctl"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_ctl"};
  corvexdb::PgConnection m_db = m_database.Connect();
  std::vector<std::string> m_env;
  int m_runs = 0;
};

}  // namespace e2e
