// A GoogleTest fixture over `Base` (testing::Test, or a bench of its own)
// for tests against PostgreSQL: one private server for the suite
// (pg_server.h), started once and removed at its end, and a database of
// each test's own, named for the test. Skipped only when PostgreSQL is not
// installed. A fixture's own SetUp calls pg_suite::SetUp first and returns
// when the test was skipped or failed there.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "pg_server.h"

template <class Base = testing::Test>
struct pg_suite : Base {
    static inline pg_server* server = nullptr;
    std::string database;  // the test's own, on `server`

    static void SetUpTestSuite()
    {
        if (pg_server::programs())
            server = new pg_server();
    }
    static void TearDownTestSuite()
    {
        delete server;  // stopped and removed, whatever the tests did
        server = nullptr;
    }

    void SetUp() override
    {
        if (!pg_server::programs())
            GTEST_SKIP() << "PostgreSQL is not installed (scripts/setup installs it)";
        ASSERT_TRUE(server->ready()) << server->error();
        std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::transform(test.begin(), test.end(), test.begin(), [](unsigned char c) { return std::tolower(c); });
        database = test.substr(0, 60);
        ASSERT_TRUE(server->create_database(database));
    }
    // Whether SetUp let the test go on.
    bool set_up() const { return !testing::Test::IsSkipped() && !testing::Test::HasFatalFailure(); }
};
