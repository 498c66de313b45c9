// The production record in tests: a fresh target on either engine, and what it holds, read as kxb
// history reads it.
#ifndef KAVELWRITE_TESTS_RECORD_SUPPORT_H
#define KAVELWRITE_TESTS_RECORD_SUPPORT_H

#include "history.h"
#include "pg_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

enum Engine { FILE_ENGINE, SERVER_ENGINE };

// A fresh target: a file in sDir, or a new database on the suite's server (*server and *sDatabase
// receive them); "" after a failure that the test is told of.
inline std::string NewRecordTarget(Engine engine, const std::string& sDir, PgServer** server = nullptr,
                                   std::string* sDatabase = nullptr) {
    if (engine == FILE_ENGINE) return sDir + "/record.db";
    std::string sError;
    PgServer* shared = SharedPgServer(&sError);
    EXPECT_NE(shared, nullptr) << sError;
    if (shared == nullptr) return "";
    std::string sName = PgServerNewDatabase(shared, &sError);
    EXPECT_FALSE(sName.empty()) << sError;
    if (server != nullptr) *server = shared;
    if (sDatabase != nullptr) *sDatabase = sName;
    return sName.empty() ? "" : PgServerUri(*shared, sName);
}

// A run of kavelwrite 0.0.4 on the line's setup script, with what a test names.
inline HistoryRun TestRun(const std::string& sRunId, const std::string& sStation, const std::string& sStarted,
                          const std::string& sScriptPath = "/srv/line/setup.kxb",
                          const std::string& sSha256 = Sha256Hex("setup", 5)) {
    return {sRunId,
            sStation,
            "kavelwrite 0.0.4",
            "libkavelhidapi 1.4.2",
            "kavelwrite --verify setup.kxb",
            sScriptPath,
            sSha256,
            "pass",
            sStarted,
            "",
            ""};
}

// The runs that filter selects, newest first.
inline std::vector<HistoryRunRead> ReadRecordRuns(const std::string& sTarget,
                                                  const HistoryFilter& filter = HistoryFilter()) {
    History history;
    std::vector<HistoryRunRead> runs;
    std::string sError;
    EXPECT_TRUE(HistoryOpen(sTarget, HISTORY_READ, &history, &sError) == HISTORY_OK &&
                HistoryReadRuns(history.get(), filter, &runs, &sError) == HISTORY_OK)
        << sError;
    return runs;
}

// The keyboards that filter selects, newest first.
inline std::vector<HistoryKeyboardRead> ReadRecordKeyboards(const std::string& sTarget,
                                                            const HistoryFilter& filter = HistoryFilter()) {
    History history;
    std::vector<HistoryKeyboardRead> keyboards;
    std::string sError;
    EXPECT_TRUE(HistoryOpen(sTarget, HISTORY_READ, &history, &sError) == HISTORY_OK &&
                HistoryReadKeyboards(history.get(), filter, &keyboards, &sError) == HISTORY_OK)
        << sError;
    return keyboards;
}

// The test's name of an engine.
inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == FILE_ENGINE ? "SQLite" : "PostgreSQL";
}

#endif
