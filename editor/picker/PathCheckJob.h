// PathCheckJob.h - fetches the page text off the GUI thread, parses it with
// our parser and checks a picked path against it; the outcome comes back on
// the GUI thread. One check at a time: a new one cancels the one before.
#pragma once

#include "PathCheck.h"

#include "markup/MarkupDoc.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quarvex {

// Fetches the page text exactly as the task will request it. Runs on the
// job's thread; bCancel turns true when the job is cancelled, and the
// fetcher should then give up within about a second. False with strError
// set when no page came back.
using FFetchPage = std::function<bool(const std::atomic<bool>& bCancel, std::string& strPage,
                                      std::string& strError)>;

// A plain GET of strUrl on our client.
FFetchPage FetchByGet(std::string strUrl);

// The page text as the task will request it: one extraction of a copy of
// the definition that writes nothing (its method, parameters, credentials,
// headers and cookies). A definition without an address of its own yet is
// given strViewUrl, the page view's address.
FFetchPage FetchAsTask(const CMarkupDoc& def, const std::string& strViewUrl);

struct SCheckOutcome {
    bool bFetched = false;
    std::string strError;      // Why there is no page text.
    std::string strPage;       // The page text as fetched (for the preview).
    SPickedElement picked;
    SPathCheck check;
};

class CPathCheckJob : public QObject {
    Q_OBJECT
public:
    explicit CPathCheckJob(QObject* pParent = nullptr);
    // Cancels a check in progress and waits for its thread.
    ~CPathCheckJob() override;

    void Start(FFetchPage fnFetch, SPickedElement picked, int nType, std::string strAttribute);
    void Cancel();
    bool IsRunning() const { return m_thread.joinable() && !m_bDelivered; }
    const SCheckOutcome& GetOutcome() const { return m_outcome; }

signals:
    // The outcome is ready in GetOutcome().
    void checked();

private:
    std::thread m_thread;
    std::shared_ptr<std::atomic<bool>> m_pCancel;
    SCheckOutcome m_outcome;
    bool m_bDelivered = true;
    unsigned m_nJob = 0;
};

} // namespace quarvex
