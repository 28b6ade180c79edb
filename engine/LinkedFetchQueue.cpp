// LinkedFetchQueue.cpp - fetch threads for linked columns.
#include "LinkedFetchQueue.h"

#include "html/HtmlDoc.h"
#include "html/Location.h"
#include "http/PoliteFetch.h"

#include <algorithm>

const CHtmlNode* FindLinkNode(const CDataNode& data)
{
    const bool bLinked = (data.m_nType == CDataNode::TYPE_LINKED_PAGE && data.m_pLinked != nullptr)
        || data.m_nType == CDataNode::TYPE_LINKED_FILE;
    if (!bLinked || data.m_pOwner == nullptr || data.m_pOwner->m_pNode == nullptr)
        return nullptr;
    // A time-stamp column ('@' and a capital) is no link, whatever its type.
    const std::string& strPath = data.m_strPath;
    if (strPath.size() >= 2 && strPath[0] == '@' && strPath[1] >= 'A' && strPath[1] <= 'Z')
        return nullptr;
    return strPath.empty() ? data.m_pOwner->m_pNode : data.m_pOwner->m_pNode->FindPath(strPath);
}

CLinkedFetchQueue::CLinkedFetchQueue(int nConnections, const SFetchPolicy* pPolicy)
    : m_pPolicy(pPolicy), m_nThreads(std::clamp(nConnections, 1, static_cast<int>(MAX_THREADS)))
{
}

CLinkedFetchQueue::~CLinkedFetchQueue()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosing = true;
    }
    m_jobReady.notify_all();
    for (std::thread& worker : m_aWorkers)
        worker.join();
}

bool CLinkedFetchQueue::IsEmpty() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_aRecords.empty();
}

bool CLinkedFetchQueue::ContainsKey(const std::vector<std::string>& aRecord,
                                    const std::vector<int>& aKeyColumns) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::unique_ptr<SRecord>& pRecord : m_aRecords) {
        // Key columns are never linked-in-parallel ones: their values are set.
        bool bSame = true;
        for (int k : aKeyColumns) {
            const std::size_t n = static_cast<std::size_t>(k);
            if (n >= aRecord.size() || n >= pRecord->aValues.size() || aRecord[n] != pRecord->aValues[n]) {
                bSame = false;
                break;
            }
        }
        if (bSame)
            return true;
    }
    return false;
}

void CLinkedFetchQueue::Add(const std::vector<std::string>& aRecord,
                            const std::vector<std::pair<int, const CHtmlNode*>>& aLinked,
                            const CDataNodeList& columns)
{
    auto pRecord = std::make_unique<SRecord>();
    pRecord->aValues = aRecord;
    pRecord->nOpen = static_cast<int>(aLinked.size());
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [nColumn, pNode] : aLinked)
        m_aJobs.push_back(SJob{ pRecord.get(), static_cast<std::size_t>(nColumn), columns.GetAt(static_cast<std::size_t>(nColumn)), pNode });
    m_aRecords.push_back(std::move(pRecord));
    // Threads start as work comes, up to the limit.
    while (static_cast<int>(m_aWorkers.size()) < m_nThreads && m_aWorkers.size() < m_aJobs.size())
        m_aWorkers.emplace_back([this]() { WorkerMain(); });
    m_jobReady.notify_all();
}

bool CLinkedFetchQueue::TakeFinished(std::vector<std::string>& aRecord, bool bWaitAll)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_aRecords.empty())
        return false;
    if (bWaitAll || m_aRecords.size() >= MAX_PENDING)
        m_recordDone.wait(lock, [this]() { return m_aRecords.front()->nOpen == 0; });
    if (m_aRecords.front()->nOpen != 0)
        return false;
    aRecord = std::move(m_aRecords.front()->aValues);
    m_aRecords.pop_front();
    return true;
}

void CLinkedFetchQueue::WorkerMain()
{
    const CFetchPolicyScope scope(m_pPolicy);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_jobReady.wait(lock, [this]() { return m_bClosing || !m_aJobs.empty(); });
        if (m_aJobs.empty())
            return;
        const SJob job = m_aJobs.front();
        m_aJobs.pop_front();
        lock.unlock();
        std::string strValue;
        if (job.pData->m_nType == CDataNode::TYPE_LINKED_PAGE)
            job.pData->GetLinkedPage(job.pNode, strValue);
        else
            job.pData->GetLinkedFile(job.pNode, strValue);
        lock.lock();
        job.pRecord->aValues[job.nColumn] = std::move(strValue);
        --job.pRecord->nOpen;
        m_recordDone.notify_all();
    }
}
