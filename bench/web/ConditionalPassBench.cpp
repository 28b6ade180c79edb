// ConditionalPassBench.cpp - the CPU a pass costs when the server answers
// 304 (the page has not changed) beside a full pass over the same 1 MB page:
// fetch, parse, walk every record, find none new. nginx serves the page in a
// process of its own, so the figures are the task's own CPU time. Passes of
// both kinds run interleaved on one task after a warm-up of each; medians.
#include "NginxServer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "engine/Task.h"

namespace {

double CpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double WallMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double Median(std::vector<double> a)
{
    std::sort(a.begin(), a.end());
    return a.size() % 2 ? a[a.size() / 2] : (a[a.size() / 2 - 1] + a[a.size() / 2]) / 2;
}

std::string MakePage(std::size_t nBytes)
{
    std::string s = "<html><head><meta charset=\"utf-8\"><title>list</title></head><body><table>\n";
    for (int i = 0; s.size() < nBytes; ++i) {
        s += "<tr><td>item " + std::to_string(i) + " 公告 &amp; 通知</td><td>12." + std::to_string(i % 100) +
             "</td><td><a href=\"item/" + std::to_string(i) + ".html?a=1&amp;b=2\">more</a></td></tr>\n";
    }
    return s + "</table></body></html>\n";
}

std::string Definition(const std::string& strUrl)
{
    return "<root><general><taskname>bench</taskname><frequence>60</frequence><autoload>0</autoload></general>"
           "<network><url>" + strUrl + "</url><refurl></refurl><method>0</method><webpost>0</webpost></network>"
           "<database><type>0</type><savetodb>0</savetodb></database>"
           "<location><path>html@body@table@tr</path><step>#tr</step>"
           "<data><type>0</type><name>title</name><path>@td</path><order>1</order><only>1</only></data>"
           "<data><type>0</type><name>price</name><path>@td#td</path><order>2</order><only>0</only></data>"
           "<data><type>3</type><name>link</name><path>@td#td#td@a</path><order>3</order><only>0</only>"
           "<attribute>href</attribute></data>"
           "</location></root>";
}

} // namespace

int main(int argc, char** argv)
{
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    CNginxServer nginx;
    const std::string strPage = MakePage(1 << 20);
    nginx.WriteFile("page.html", strPage);
    if (!nginx.Start()) {
        std::fprintf(stderr, "nginx: %s\n", nginx.GetError().c_str());
        return 1;
    }
    CTask task;
    task.LoadDefinition(Definition(nginx.GetUrl("/page.html")).c_str());
    // The first pass keeps every record; later full passes find none new.
    task.RunPass();

    std::vector<double> aFullCpu, aCondCpu, aFullWall, aCondWall;
    for (int i = -1; i < nRounds; ++i) {  // round -1 is the warm-up of both kinds
        task.ForgetPageValidators();
        double c0 = CpuMs(), w0 = WallMs();
        task.RunPass();
        const double dFullCpu = CpuMs() - c0, dFullWall = WallMs() - w0;
        c0 = CpuMs();
        w0 = WallMs();
        task.RunPass();  // validators from the full pass: nginx answers 304
        const double dCondCpu = CpuMs() - c0, dCondWall = WallMs() - w0;
        if (i < 0)
            continue;
        aFullCpu.push_back(dFullCpu);
        aFullWall.push_back(dFullWall);
        aCondCpu.push_back(dCondCpu);
        aCondWall.push_back(dCondWall);
    }
    std::printf("page %zu bytes, %zu rows kept, %d rounds (medians)\n", strPage.size(),
                task.GetDataList().GetCount(), nRounds);
    std::printf("full pass        cpu %8.3f ms   wall %8.3f ms\n", Median(aFullCpu), Median(aFullWall));
    std::printf("304 pass         cpu %8.3f ms   wall %8.3f ms\n", Median(aCondCpu), Median(aCondWall));
    std::printf("304 / full (cpu) %.2f %%\n", 100.0 * Median(aCondCpu) / Median(aFullCpu));
    return 0;
}
