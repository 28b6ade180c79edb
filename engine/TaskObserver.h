// TaskObserver.h - what a running task tells its view: the countdown bar, the
// activity bar, the rows it keeps and its log. No GUI types here; the desktop
// application and quarvex-cli each implement this interface.
#pragma once

#include <cstddef>
#include <string>

#include "DataList.h"

// Every call comes from the task's notification thread, never from its worker
// thread and never from the thread that starts or stops the task, in the
// order the worker produced the events. The worker only queues them, so a
// view that is slow, or that waits for the thread stopping the task, delays
// its own display and nothing else. An observer must outlive the task it was
// given to (the task's destructor waits for a call in progress and drops the
// rest).
// What happened to a kept record during a pass.
enum class ERecordEvent { NEW, CHANGED, GONE, BACK };

class ITaskObserver {
public:
    virtual ~ITaskObserver() = default;

    // The countdown runs 0..nMax seconds; sent once when the worker starts.
    virtual void OnCountdownRange(int /*nMax*/) {}
    // Seconds counted since the last pass ended; nMax while a pass runs.
    virtual void OnCountdown(int /*nPos*/) {}
    // One second more of waiting for the page.
    virtual void OnActivityStep() {}
    // The activity bar is put back to nPos (0 after every pass).
    virtual void OnActivity(int /*nPos*/) {}
    // A new record became the last row of the task's data list.
    virtual void OnRowAdded(const CDataRow& /*aRow*/) {}
    // A kept record's life changed; nRow is its index in the task's data list.
    virtual void OnRecordEvent(ERecordEvent /*eEvent*/, std::size_t /*nRow*/, const CDataRow& /*aRow*/) {}
    // The data list was refilled or emptied outside a pass (loaded from the
    // record state, reset, cleared because the key columns changed): views reload it whole.
    virtual void OnRowsReset() {}
    // One whole log line, time stamp and "\r\n" included.
    virtual void OnLog(const std::string& /*strLine*/) {}
    // A pass ended: whether the page was fetched, records seen and new.
    virtual void OnPassEnd(bool /*bFetched*/, int /*nSeen*/, int /*nNew*/) {}
    // Why the OnPassEnd that follows parsed no page although nothing failed:
    // the page was unchanged (304), or robots.txt forbade it. Watchers that
    // judge a task by its yield count such passes for nothing.
    enum class EPassNote { NOT_MODIFIED, ROBOTS_REFUSED };
    virtual void OnPassNote(EPassNote /*eNote*/) {}
    // How many web posts and database rows wait in the task's outbox; sent
    // whenever the number may have changed (after a pass's deliveries).
    virtual void OnPendingDeliveries(std::size_t /*nPending*/) {}
    // The worker thread has ended; nothing more follows until the next start.
    virtual void OnStopped() {}
};
