// RecordStore.h - the storage under a task's record state: the kept records,
// the deliveries still owed to the sinks (the outbox) and a few named values.
// One implementation per kind of storage (a SQLite file here); the task
// speaks only to this interface, so another database can hold the same state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DataList.h"

// One kept record as stored.
struct SStoredRecord {
    std::string strKey;          // The data list's key bytes of the row.
    CDataRow aRow;
    std::int64_t tFirstSeen = 0;  // Unix seconds.
    std::int64_t tLastSeen = 0;
    std::int64_t tLastChanged = 0;
    std::uint8_t nState = ROW_KEPT;
    std::uint32_t nSeenPass = 0;  // The counted pass that last saw it.
};

// Which sink a delivery goes to, and what it does there.
enum EDeliverySink : int { SINK_WEBPOST = 0, SINK_DATABASE = 1, SINK_COUNT = 2 };
enum EDeliveryAction : int { ACTION_ADD = 0, ACTION_UPDATE = 1 };

// A delivery written before it is attempted and removed once it succeeded.
struct SDelivery {
    std::int64_t nId = 0;  // Grows with every delivery: the order to keep.
    int nSink = SINK_WEBPOST;
    int nAction = ACTION_ADD;
    CDataRow aRow;
    int nAttempts = 0;          // Failed attempts so far.
    std::int64_t tNextTry = 0;  // Unix milliseconds; 0: at once.
};

class IRecordStore {
public:
    virtual ~IRecordStore() = default;

    // Opens (creating when missing) and checks the storage. False with
    // strError when it cannot be used; nothing else may be called then.
    virtual bool Open(std::string& strError) = 0;

    // Every change goes inside Begin/Commit; Commit false means nothing of
    // the transaction was kept (it is rolled back).
    virtual bool Begin() = 0;
    virtual bool Commit() = 0;
    virtual void Rollback() = 0;

    // Named values (signature, fence, pass number). Get: empty when missing.
    virtual bool GetMeta(const std::string& strName, std::string& strValue) = 0;
    virtual bool SetMeta(const std::string& strName, const std::string& strValue) = 0;

    // Every record in the order it was first kept.
    virtual bool ForEachRecord(const std::function<void(SStoredRecord&)>& fnRecord) = 0;
    // Inserts the record, or replaces the one with the same key (which then
    // keeps its place in the order).
    virtual bool PutRecord(const SStoredRecord& record) = 0;
    // A record seen again: its last-seen time, pass and state.
    virtual bool TouchRecord(const std::string& strKey, std::int64_t tLastSeen, std::uint32_t nSeenPass,
                             std::uint8_t nState) = 0;
    // Only the state (a record gone from the page keeps its last-seen time).
    virtual bool SetRecordState(const std::string& strKey, std::uint8_t nState) = 0;
    virtual std::int64_t CountRecords() = 0;

    virtual bool AddDelivery(SDelivery& delivery) = 0;  // Sets nId.
    virtual bool RemoveDelivery(std::int64_t nId) = 0;
    virtual bool PostponeDelivery(std::int64_t nId, int nAttempts, std::int64_t tNextTry) = 0;
    virtual bool ForEachDelivery(const std::function<void(SDelivery&)>& fnDelivery) = 0;

    // Removes every record and every delivery.
    virtual bool ClearAll() = 0;

    // The reason of the last failure.
    virtual std::string GetError() const = 0;
};

// The record state in a SQLite file (WAL journal). bReadOnly: never created
// nor changed (export).
std::unique_ptr<IRecordStore> CreateSqliteRecordStore(const std::string& strPath, bool bReadOnly);

// A row packed into one text: a cell count, then each cell's length and
// bytes (lengths as base-128 varints). Unpack: false for malformed bytes.
std::string PackRow(const CDataRow& aRow);
bool UnpackRow(const void* pData, std::size_t nSize, CDataRow& aRow);
