// LinkedFetchQueue.h - the linked pages and files of a pass's new records,
// fetched by a few threads at once while the walk goes on. Records come out
// in the order they went in, each once all its linked columns are there.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class CDataNode;
class CDataNodeList;
class CHtmlNode;
struct SFetchPolicy;

// The page node holding the link of a linked-page or linked-file column at
// its block's current record; null for any other column or when there is no
// such node (GetValue then does what it always does).
const CHtmlNode* FindLinkNode(const CDataNode& data);

class CLinkedFetchQueue
{
public:
    // Records waiting at most; beyond them the walk waits for the oldest.
    enum { MAX_PENDING = 64, MAX_THREADS = 8 };

    // nConnections fetch threads at most (the requests each host may take
    // at once); with one, nothing runs in parallel (IsParallel is false).
    // pPolicy is every fetch thread's policy; it must outlive the queue.
    CLinkedFetchQueue(int nConnections, const SFetchPolicy* pPolicy);
    // Waits for the fetches in progress (a stop ends them quickly).
    ~CLinkedFetchQueue();
    CLinkedFetchQueue(const CLinkedFetchQueue&) = delete;
    CLinkedFetchQueue& operator=(const CLinkedFetchQueue&) = delete;

    bool IsParallel() const { return m_nThreads > 1; }
    bool IsEmpty() const;
    // Whether a waiting record has the key values of aRecord.
    bool ContainsKey(const std::vector<std::string>& aRecord, const std::vector<int>& aKeyColumns) const;
    // Queues a record whose columns aLinked (column index, link node) are
    // still to be fetched; every other value is in aRecord already.
    void Add(const std::vector<std::string>& aRecord, const std::vector<std::pair<int, const CHtmlNode*>>& aLinked,
             const CDataNodeList& columns);
    // The oldest record when it is complete. bWaitAll waits for it (and is
    // what the end of a walk uses); so does a queue holding MAX_PENDING
    // records. False when the queue is empty or the oldest is not complete.
    bool TakeFinished(std::vector<std::string>& aRecord, bool bWaitAll);

private:
    struct SRecord {
        std::vector<std::string> aValues;
        int nOpen = 0;  // Linked columns not fetched yet.
    };
    struct SJob {
        SRecord* pRecord;
        std::size_t nColumn;
        const CDataNode* pData;
        const CHtmlNode* pNode;
    };
    void WorkerMain();

    const SFetchPolicy* m_pPolicy;
    int m_nThreads;
    mutable std::mutex m_mutex;
    std::condition_variable m_jobReady;
    std::condition_variable m_recordDone;
    std::deque<std::unique_ptr<SRecord>> m_aRecords;
    std::deque<SJob> m_aJobs;
    std::vector<std::thread> m_aWorkers;
    bool m_bClosing = false;
};
