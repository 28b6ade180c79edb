// RecordStoreTest.cpp - what every record state storage must do, run on an
// SQLite file and on PostgreSQL: records in the order first seen, the
// outbox in the order written, named values, transactions, and on
// PostgreSQL the states of many tasks side by side, written one holder
// after the other.
#include "engine/PgRecordStore.h"

#include "PostgresServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

enum class EBackend { SQLITE, POSTGRESQL };

class RecordStoreTest : public ::testing::TestWithParam<EBackend> {
protected:
    void SetUp() override
    {
        if (GetParam() == EBackend::POSTGRESQL) {
            if (CPostgresServer::FindBinDir().empty())
                GTEST_SKIP() << "PostgreSQL is not installed (Debian's postgresql package)";
            std::string strError;
            CPostgresServer* pServer = SharedPostgresServer(strError);
            ASSERT_NE(pServer, nullptr) << strError;
            m_strDb = pServer->CreateDatabase(strError);
            ASSERT_FALSE(m_strDb.empty()) << strError;
        }
    }

    // The state of one task: a file of its own, or a key in the database.
    std::string Where(const std::string& strTask) const
    {
        return GetParam() == EBackend::POSTGRESQL ? m_strDb + "#" + strTask : m_dir.GetPath() + "/" + strTask + ".records";
    }
    std::unique_ptr<IRecordStore> Open(const std::string& strTask, bool bReadOnly = false)
    {
        std::unique_ptr<IRecordStore> pStore = CreateRecordStore(Where(strTask), bReadOnly);
        std::string strError;
        EXPECT_TRUE(pStore->Open(strError)) << strError;
        return pStore;
    }
    static std::vector<SStoredRecord> Records(IRecordStore& store)
    {
        std::vector<SStoredRecord> a;
        EXPECT_TRUE(store.ForEachRecord([&](SStoredRecord& r) { a.push_back(r); })) << store.GetError();
        return a;
    }
    static std::vector<SDelivery> Deliveries(IRecordStore& store)
    {
        std::vector<SDelivery> a;
        EXPECT_TRUE(store.ForEachDelivery([&](SDelivery& d) { a.push_back(d); })) << store.GetError();
        return a;
    }

    CTempDir m_dir;
    std::string m_strDb;
};

SStoredRecord MakeRecord(const std::string& strKey, CDataRow aRow, std::int64_t tSeen)
{
    SStoredRecord record;
    record.strKey = strKey;
    record.aRow = std::move(aRow);
    record.tFirstSeen = record.tLastSeen = record.tLastChanged = tSeen;
    record.nSeenPass = 1;
    return record;
}

} // namespace

TEST_P(RecordStoreTest, RecordsOutboxAndValuesSurviveAReopen)
{
    {
        std::unique_ptr<IRecordStore> pStore = Open("task-a");
        std::string strValue = "stale";
        ASSERT_TRUE(pStore->GetMeta("fence", strValue));
        EXPECT_EQ(strValue, "");
        ASSERT_TRUE(pStore->Begin()) << pStore->GetError();
        // Keys and cells are bytes: GBK, zero bytes, empty cells.
        const std::string strGbk = "\xB9\xC9\xC6\xB1";
        ASSERT_TRUE(pStore->PutRecord(MakeRecord("k2", { strGbk, std::string("a\0b", 3), "" }, 100)));
        ASSERT_TRUE(pStore->PutRecord(MakeRecord(std::string("k\0\xFF", 3), { "one" }, 101)));
        ASSERT_TRUE(pStore->PutRecord(MakeRecord("k0", { "zero" }, 102)));
        // Replacing keeps the place of first sight.
        SStoredRecord changed = MakeRecord("k2", { "changed" }, 100);
        changed.tLastChanged = 150;
        changed.nState = ROW_CHANGED;
        ASSERT_TRUE(pStore->PutRecord(changed));
        ASSERT_TRUE(pStore->TouchRecord("k0", 160, 7, ROW_KEPT));
        ASSERT_TRUE(pStore->SetRecordState(std::string("k\0\xFF", 3), ROW_GONE));
        SDelivery first{ 0, SINK_WEBPOST, ACTION_ADD, { "p", strGbk }, 0, 0 };
        SDelivery second{ 0, SINK_DATABASE, ACTION_UPDATE, { "q" }, 0, 0 };
        ASSERT_TRUE(pStore->AddDelivery(first));
        ASSERT_TRUE(pStore->AddDelivery(second));
        EXPECT_LT(first.nId, second.nId);
        ASSERT_TRUE(pStore->PostponeDelivery(first.nId, 2, 5000));
        ASSERT_TRUE(pStore->SetMeta("fence", "3"));
        ASSERT_TRUE(pStore->SetMeta("fence", "4"));
        ASSERT_TRUE(pStore->Commit()) << pStore->GetError();
    }
    std::unique_ptr<IRecordStore> pStore = Open("task-a");
    const std::vector<SStoredRecord> aRecords = Records(*pStore);
    ASSERT_EQ(aRecords.size(), 3u);
    EXPECT_EQ(aRecords[0].strKey, "k2");
    EXPECT_EQ(aRecords[0].aRow, CDataRow{ "changed" });
    EXPECT_EQ(aRecords[0].tLastChanged, 150);
    EXPECT_EQ(aRecords[0].nState, ROW_CHANGED);
    EXPECT_EQ(aRecords[1].strKey, std::string("k\0\xFF", 3));
    EXPECT_EQ(aRecords[1].nState, ROW_GONE);
    EXPECT_EQ(aRecords[2].tLastSeen, 160);
    EXPECT_EQ(aRecords[2].nSeenPass, 7u);
    EXPECT_EQ(pStore->CountRecords(), 3);
    const std::vector<SDelivery> aDeliveries = Deliveries(*pStore);
    ASSERT_EQ(aDeliveries.size(), 2u);
    EXPECT_EQ(aDeliveries[0].aRow, (CDataRow{ "p", "\xB9\xC9\xC6\xB1" }));
    EXPECT_EQ(aDeliveries[0].nAttempts, 2);
    EXPECT_EQ(aDeliveries[0].tNextTry, 5000);
    EXPECT_EQ(aDeliveries[1].nSink, SINK_DATABASE);
    EXPECT_EQ(aDeliveries[1].nAction, ACTION_UPDATE);
    std::string strFence;
    ASSERT_TRUE(pStore->GetMeta("fence", strFence));
    EXPECT_EQ(strFence, "4");

    // A rolled-back transaction leaves nothing; a cleared state is empty.
    ASSERT_TRUE(pStore->Begin());
    ASSERT_TRUE(pStore->RemoveDelivery(aDeliveries[0].nId));
    ASSERT_TRUE(pStore->PutRecord(MakeRecord("k9", { "nine" }, 200)));
    pStore->Rollback();
    EXPECT_EQ(pStore->CountRecords(), 3);
    EXPECT_EQ(Deliveries(*pStore).size(), 2u);
    ASSERT_TRUE(pStore->Begin());
    ASSERT_TRUE(pStore->ClearAll());
    ASSERT_TRUE(pStore->Commit());
    EXPECT_EQ(pStore->CountRecords(), 0);
    EXPECT_TRUE(Deliveries(*pStore).empty());
    ASSERT_TRUE(pStore->GetMeta("fence", strFence));
    EXPECT_EQ(strFence, "4");  // named values are not records
}

TEST_P(RecordStoreTest, TasksKeepTheirStatesApart)
{
    std::unique_ptr<IRecordStore> pFirst = Open("{A}");
    std::unique_ptr<IRecordStore> pSecond = Open("{B}");
    ASSERT_TRUE(pFirst->Begin());
    ASSERT_TRUE(pFirst->PutRecord(MakeRecord("k", { "a" }, 1)));
    SDelivery delivery{ 0, SINK_WEBPOST, ACTION_ADD, { "a" }, 0, 0 };
    ASSERT_TRUE(pFirst->AddDelivery(delivery));
    ASSERT_TRUE(pFirst->SetMeta("pass", "9"));
    ASSERT_TRUE(pFirst->Commit());
    EXPECT_EQ(pSecond->CountRecords(), 0);
    EXPECT_TRUE(Deliveries(*pSecond).empty());
    std::string strPass;
    ASSERT_TRUE(pSecond->GetMeta("pass", strPass));
    EXPECT_EQ(strPass, "");
    // Neither a removal nor a clearing through one task reaches the other.
    ASSERT_TRUE(pSecond->Begin());
    ASSERT_TRUE(pSecond->RemoveDelivery(delivery.nId));
    ASSERT_TRUE(pSecond->ClearAll());
    ASSERT_TRUE(pSecond->Commit());
    EXPECT_EQ(pFirst->CountRecords(), 1);
    EXPECT_EQ(Deliveries(*pFirst).size(), 1u);
}

TEST_P(RecordStoreTest, OpeningATaskNeverWaitsForAnotherTasksWrite)
{
    // Hundreds of tasks start while others write: opening a state must not
    // take locks that wait for their transactions (nor make them wait).
    std::unique_ptr<IRecordStore> pA = Open("task-a");
    ASSERT_TRUE(pA->Begin()) << pA->GetError();
    ASSERT_TRUE(pA->PutRecord(MakeRecord("k", {"v"}, 10))) << pA->GetError();
    auto opened = std::async(std::launch::async, [this] {
        std::unique_ptr<IRecordStore> pB = CreateRecordStore(Where("task-b"), false);
        std::string strError;
        const bool bOk = pB->Open(strError) && pB->Begin() && pB->PutRecord(MakeRecord("k", {"w"}, 11))
                         && pB->Commit();
        return bOk ? std::string() : strError + pB->GetError();
    });
    const bool bInTime = opened.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    ASSERT_TRUE(pA->Commit()) << pA->GetError();
    ASSERT_TRUE(bInTime) << "task-b waited for task-a's open write";
    EXPECT_EQ(opened.get(), "");
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordStoreTest, ::testing::Values(EBackend::SQLITE, EBackend::POSTGRESQL),
                         [](const auto& info) { return info.param == EBackend::SQLITE ? "SQLite" : "PostgreSQL"; });

TEST(PgRecordStoreTest, TwoHoldersOfOneTaskWriteOneAfterTheOther)
{
    if (CPostgresServer::FindBinDir().empty())
        GTEST_SKIP() << "PostgreSQL is not installed (Debian's postgresql package)";
    std::string strError;
    CPostgresServer* pServer = SharedPostgresServer(strError);
    ASSERT_NE(pServer, nullptr) << strError;
    const std::string strDb = pServer->CreateDatabase(strError);
    ASSERT_FALSE(strDb.empty()) << strError;
    std::unique_ptr<IRecordStore> pOld = CreateRecordStore(strDb + "#{T}", false);
    std::unique_ptr<IRecordStore> pNew = CreateRecordStore(strDb + "#{T}", false);
    ASSERT_TRUE(pOld->Open(strError)) << strError;
    ASSERT_TRUE(pNew->Open(strError)) << strError;

    // The new holder writes its fencing number; the old one, starting its
    // write meanwhile, waits and then reads the new number, not the one
    // before: it cannot slip a delivery in between.
    ASSERT_TRUE(pNew->Begin());
    ASSERT_TRUE(pNew->SetMeta("fence", "2"));
    std::atomic<bool> bOldStarted{ false };
    std::atomic<bool> bOldRead{ false };
    std::string strSeen;
    std::thread old([&] {
        bOldStarted = true;
        ASSERT_TRUE(pOld->Begin()) << pOld->GetError();
        ASSERT_TRUE(pOld->GetMeta("fence", strSeen));
        bOldRead = true;
        pOld->Rollback();
    });
    while (!bOldStarted)
        std::this_thread::yield();
    // Only a wrong store lets the old holder read within this time.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(bOldRead.load());
    ASSERT_TRUE(pNew->Commit()) << pNew->GetError();
    old.join();
    EXPECT_EQ(strSeen, "2");

    // A state in the database needs its task's key.
    std::unique_ptr<IRecordStore> pNoKey = CreateRecordStore(strDb, false);
    EXPECT_FALSE(pNoKey->Open(strError));
}
