// PgRecordStore.h - the record state in PostgreSQL, where runners that hand
// tasks over to each other keep the kept records and the outbox together.
// Every task's state lives in the same three tables, told apart by a task
// key; the tasks of one process share a small pool of connections.
#pragma once

#include "RecordStore.h"

#include <memory>
#include <string>

// strUri: a libpq connection URI; strTask: the key of one task's state (its
// store id). A transaction (Begin .. Commit) holds one pooled connection
// and a lock on the task's state, so two holders of one task write one
// after the other and the fencing number read inside it is the newest.
std::unique_ptr<IRecordStore> CreatePgRecordStore(const std::string& strUri, const std::string& strTask,
                                                  bool bReadOnly);

// The record state strWhere names: "postgresql://...#TASK" (or
// "postgres://...#TASK") a task's state in PostgreSQL, anything else an
// SQLite file.
std::unique_ptr<IRecordStore> CreateRecordStore(const std::string& strWhere, bool bReadOnly);
