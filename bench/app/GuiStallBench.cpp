// GuiStallBench.cpp - how long the GUI thread stalls while a task's pass
// appends 10,000 rows to a data list that shows 100,000, and what the data
// list and its view cost in memory per 100,000 rows of 5 short columns.
// A real task fetches a real page from a local server; a 1 ms timer on the
// GUI thread records the longest gap between its ticks.
#include "DataModel.h"
#include "TaskWnd.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QThread>
#include <QTimer>

#include <httplib.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int BASE_ROWS = 100000;
constexpr int NEW_ROWS = 10000;
constexpr int ROUNDS = 5;

std::string MakePage(int nRows)
{
    std::string strPage = "<html><body><table>";
    strPage.reserve(static_cast<std::size_t>(nRows) * 64);
    char szRow[160];
    for (int i = 0; i < nRows; ++i) {
        std::snprintf(szRow, sizeof szRow, "<tr><td>r%07d</td><td>a%05d</td><td>b%05d</td><td>c%05d</td><td>d%05d</td></tr>",
                      i, i % 100000, i % 99991, i % 77777, i % 55555);
        strPage += szRow;
    }
    strPage += "</table></body></html>";
    return strPage;
}

std::string Definition(int nPort)
{
    std::string strDef = "<root><general><taskname>bench</taskname><frequence>3600</frequence><autoload>0</autoload>"
                         "</general><network><url>http://127.0.0.1:" + std::to_string(nPort) +
                         "/page</url></network><location><path>html@body@table@tr</path><step>#tr</step>";
    const char* aNames[] = { "k", "a", "b", "c", "d" };
    std::string strPath = "@td";
    for (int i = 0; i < 5; ++i) {
        strDef += "<data><type>0</type><name>" + std::string(aNames[i]) + "</name><path>" + strPath +
                  "</path><order>" + std::to_string(i + 1) + "</order><only>" + (i == 0 ? "1" : "0") + "</only></data>";
        strPath += "#td";
    }
    return strDef + "</location></root>";
}

// Runs events until fnDone() or nLimitMs; false on the limit.
template <class F>
bool PumpUntil(F fnDone, int nLimitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!fnDone()) {
        if (timer.elapsed() > nLimitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// The longest gap between ticks of a 1 ms timer while it runs.
class CStallMeter : public QObject {
public:
    CStallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 nNow = m_clock.nsecsElapsed();
            m_nMaxGapNs = std::max(m_nMaxGapNs, nNow - m_nLastNs);
            m_nLastNs = nNow;
        });
    }
    void Start()
    {
        m_nMaxGapNs = 0;
        m_clock.start();
        m_nLastNs = 0;
        m_timer.start();
    }
    double StopMs()
    {
        m_timer.stop();
        return m_nMaxGapNs / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_nLastNs = 0;
    qint64 m_nMaxGapNs = 0;
};

double Median(std::vector<double> a)
{
    std::sort(a.begin(), a.end());
    return a[a.size() / 2];
}

std::size_t HeapInUse()
{
    malloc_trim(0);
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;  // Large blocks are mapped, not in the heap.
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // Memory: the rows as the engine keeps them, then what the task window's
    // list adds for them (measured against the same window shown empty, so
    // its backing store and fonts are not counted as rows).
    {
        auto pList = std::make_unique<CDataList>();
        pList->SetKeyColumns({ 0 });
        auto pView = std::make_unique<quarvex::CActivityWnd>();
        auto pModel = std::make_unique<quarvex::CDataModel>(*pList);
        pView->m_pList->setModel(pModel.get());
        pModel->Reset({ "k", "a", "b", "c", "d" });
        pView->resize(900, 600);
        pView->show();
        PumpUntil([] { return false; }, 300);

        std::size_t nText = 0;
        const std::size_t nBefore = HeapInUse();
        char szCell[32];
        for (int i = 0; i < BASE_ROWS; ++i) {
            CDataRow aRow;
            for (int c = 0; c < 5; ++c) {
                std::snprintf(szCell, sizeof szCell, "%c%07d", "kabcd"[c], i);
                aRow.emplace_back(szCell);
                nText += aRow.back().size();
            }
            pList->Append(aRow);
        }
        const std::size_t nList = HeapInUse() - nBefore;
        pModel->ShowNewRows();
        pView->m_pList->scrollToBottom();
        PumpUntil([] { return false; }, 300);
        const std::size_t nView = HeapInUse() - nBefore - nList;
        std::printf("memory, %d rows x 5 columns, %zu bytes of text: data list %.1f bytes/row (%.2fx the text), "
                    "model and view %.1f bytes/row (%.2fx the text), together %.2fx\n",
                    BASE_ROWS, nText, double(nList) / BASE_ROWS, double(nList) / nText, double(nView) / BASE_ROWS,
                    double(nView) / nText, double(nList + nView) / nText);
    }

    std::atomic<int> nRows{ BASE_ROWS };
    httplib::Server server;
    server.Get("/page", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(MakePage(nRows.load()), "text/html");
    });
    const int nPort = server.bind_to_any_port("127.0.0.1");
    std::thread serverThread([&] { server.listen_after_bind(); });

    quarvex::CTaskWnd wnd;
    wnd.resize(900, 600);
    wnd.show();
    if (!wnd.SetTask(Definition(nPort), "bench") || !wnd.StartTask()) {
        std::fputs("the task did not start\n", stderr);
        return 1;
    }
    quarvex::CDataModel* pModel = wnd.GetModel();
    if (!PumpUntil([&] { return pModel->rowCount() == BASE_ROWS; }, 120000)) {
        std::fputs("the first pass did not show its rows\n", stderr);
        return 1;
    }
    wnd.GetDataList()->scrollToBottom();

    CStallMeter meter;
    std::vector<double> aIdle, aPass, aPassMs;
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        // Idle first, as long as a pass takes, for the floor of the meter.
        meter.Start();
        PumpUntil([] { return false; }, 500);
        aIdle.push_back(meter.StopMs());

        const int nTarget = pModel->rowCount() + NEW_ROWS;
        nRows = nTarget;
        QElapsedTimer timer;
        meter.Start();
        timer.start();
        wnd.RunNow();
        if (!PumpUntil([&] { return pModel->rowCount() == nTarget; }, 120000)) {
            std::fputs("a pass did not show its rows\n", stderr);
            return 1;
        }
        aPassMs.push_back(timer.elapsed());
        PumpUntil([] { return false; }, 100);
        aPass.push_back(meter.StopMs());
    }
    std::printf("GUI thread, longest stall while a pass appends %d rows to %d..%d shown: median %.1f ms "
                "(rounds:", NEW_ROWS, BASE_ROWS, BASE_ROWS + (ROUNDS - 1) * NEW_ROWS, Median(aPass));
    for (double d : aPass)
        std::printf(" %.1f", d);
    std::printf("); idle floor median %.1f ms; pass until shown median %.0f ms\n", Median(aIdle), Median(aPassMs));

    wnd.StopTask();
    PumpUntil([&] { return !wnd.IsRunning(); }, 10000);
    server.stop();
    serverThread.join();
    return 0;
}
