// main.cpp - quarvex-runner: an account's tasks on a server, without a
// window. Signals are taken by this thread alone (every other thread starts
// with them blocked): SIGTERM and SIGINT stop the tasks, SIGHUP relists.
#include "AlarmPoster.h"
#include "Runner.h"
#include "RunnerOptions.h"
#include "StatusServer.h"
#include "engine/NetworkSettings.h"
#include "markup/Settings.h"
#include "platform/ProgramDir.h"
#include "server/StoreServer.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <pthread.h>
#include <unistd.h>

using namespace quarvex;

namespace {

constexpr char RUNNER[] = "quarvex-runner";

// Waits up to nMs for one of the signals; 0 when none came.
int WaitSignal(const sigset_t& setSignals, int nMs)
{
    const timespec wait = { nMs / 1000, static_cast<long>(nMs % 1000) * 1000 * 1000 };
    const int nSignal = sigtimedwait(&setSignals, nullptr, &wait);
    return nSignal > 0 ? nSignal : 0;
}

bool IsStopSignal(int nSignal)
{
    return nSignal == SIGTERM || nSignal == SIGINT;
}

} // namespace

int main(int argc, char** argv)
{
    SRunnerOptions options;
    std::string strError;
    if (!ParseRunnerOptions(argc, argv, options, strError)) {
        if (!strError.empty())
            std::fprintf(stderr, "quarvex-runner: %s\n", strError.c_str());
        std::fputs(RunnerUsage(), stderr);
        return strError.empty() ? 0 : 2;
    }
    std::string strPassword;
    if (!ReadRunnerPassword(options, strPassword, strError)) {
        std::fprintf(stderr, "quarvex-runner: %s\n", strError.c_str());
        return 1;
    }

    sigset_t setSignals;
    sigemptyset(&setSignals);
    sigaddset(&setSignals, SIGINT);
    sigaddset(&setSignals, SIGTERM);
    sigaddset(&setSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &setSignals, nullptr);
    // A status client or an alarm receiver that hangs up must not end us.
    std::signal(SIGPIPE, SIG_IGN);

    CRunnerLog log;
    CSettings settings;
    const std::string strConfig = options.strConfig.empty() ? CSettings::GetDefaultPath() : options.strConfig;
    if (!settings.Load(strConfig) && !options.strConfig.empty()) {
        std::fprintf(stderr, "quarvex-runner: cannot read %s\n", strConfig.c_str());
        return 1;
    }
    if (!ApplyNetworkSettings(settings, true, strError))
        log.Write(RUNNER, "network settings: " + strError);

    // The tasks keep their records in the data folder unless Config.dat
    // turns that off ("keeprecords" 0): then they keep them in memory.
    std::string strDataDir = options.strDataDir.empty() ? GetProgramDir() + "data" : options.strDataDir;
    if (!KeepRecordsEnabled(settings)) {
        log.Write(RUNNER, "keeprecords is 0 in Config.dat: the tasks keep their records in memory only");
        strDataDir.clear();
    } else if (!options.strRecordsDb.empty()) {
        // Every task's state is a key in that database (see RecordStatePathForId).
        strDataDir = options.strRecordsDb;
    } else {
        std::error_code error;
        std::filesystem::create_directories(strDataDir, error);
        if (error || !std::filesystem::is_directory(strDataDir)) {
            std::fprintf(stderr, "quarvex-runner: cannot use the data folder %s: %s\n", strDataDir.c_str(),
                         error ? error.message().c_str() : "not a folder");
            return 1;
        }
    }

    // The private store: loopback only, on a port of its own choosing.
    std::unique_ptr<CStoreServer> pPrivateStore;
    std::string strServer = options.strServer;
    if (!options.strStoreDb.empty()) {
        pPrivateStore = std::make_unique<CStoreServer>();
        if (!pPrivateStore->Open(options.strStoreDb, strError) ||
            !pPrivateStore->Start("127.0.0.1", 0, strError, 8)) {
            std::fprintf(stderr, "quarvex-runner: the task store %s: %s\n", options.strStoreDb.c_str(),
                         strError.c_str());
            return 1;
        }
        if (!pPrivateStore->GetService().GetDb().FindAccount(options.strUser)) {
            if (!pPrivateStore->GetService().AddUser(options.strUser, strPassword, strError)) {
                std::fprintf(stderr, "quarvex-runner: cannot create the account %s: %s\n", options.strUser.c_str(),
                             strError.c_str());
                return 1;
            }
            log.Write(RUNNER, "created the account " + options.strUser + " in " + options.strStoreDb);
        }
        strServer = "127.0.0.1:" + std::to_string(pPrivateStore->GetPort());
    }

    CStoreClient store(strServer);
    // A store that stops answering holds a relist no longer than this.
    store.SetCallLimit(30000);
    CAlarmPoster alarms(settings.GetGeneralKey(CONFIG_ALARMURL), log);
    SRunnerSetup setup;
    setup.strUser = options.strUser;
    setup.strPassword = strPassword;
    setup.aChosenExamples = settings.GetExampleTaskIds();
    setup.strDataDir = strDataDir;
    setup.bLeases = !options.bNoLease;
    setup.nLeaseSeconds = options.nLeaseSeconds;
    setup.strHolder = MakeHolderName();
    setup.pAlarms = &alarms;
    auto pRunner = std::make_unique<CRunner>(store, log, setup);

    // A store that cannot be reached is waited for (a service may start
    // before it); a refused login ends the runner.
    for (;;) {
        const StoreLogin eLogin = pRunner->Login();
        if (eLogin == StoreLogin::OK)
            break;
        if (eLogin == StoreLogin::REFUSED)
            return 1;
        log.Write(RUNNER, "trying again in 10 s");
        if (IsStopSignal(WaitSignal(setSignals, 10000)))
            return 0;
    }

    CStatusServer status([&pRunner] { return pRunner->GetStatus(); });
    if (!options.bNoStatus) {
        if (!status.Start(options.strListenHost, options.nListenPort, strError)) {
            log.Write(RUNNER, strError);
            return 1;
        }
        log.Write(RUNNER, "status on http://" + options.strListenHost + ":" + std::to_string(status.GetPort()) + "/");
    }
    if (options.bNoLease) {
        log.Write(RUNNER, "leases off: this runner alone runs the account's tasks");
    } else {
        log.Write(RUNNER, "leases of " + std::to_string(options.nLeaseSeconds) + " s as " + setup.strHolder +
                              (setup.aChosenExamples.empty() ? "" : "; the examples of Config.dat are not run"));
    }

    using Clock = std::chrono::steady_clock;
    pRunner->Relist();
    pRunner->LeaseCycle();
    log.Write(RUNNER, std::to_string(pRunner->GetStatus().nRunning) + " of " +
                          std::to_string(pRunner->GetTaskCount()) + " tasks running");
    // Leases are renewed three times a lease period, so one lost request
    // does not lose them.
    const auto leaseEvery = std::chrono::milliseconds(options.nLeaseSeconds * 1000 / 3);
    Clock::time_point tNextRelist = Clock::now() + std::chrono::seconds(options.nRelistSeconds);
    Clock::time_point tNextLease = Clock::now() + leaseEvery;
    for (;;) {
        const int nSignal = WaitSignal(setSignals, options.bNoLease ? 1000 : 250);
        if (IsStopSignal(nSignal))
            break;
        if (nSignal == SIGHUP || Clock::now() >= tNextRelist) {
            if (nSignal == SIGHUP)
                log.Write(RUNNER, "SIGHUP: listing the account now");
            pRunner->Relist();
            tNextRelist = Clock::now() + std::chrono::seconds(options.nRelistSeconds);
            // Tasks the relist found new are leased at once.
            tNextLease = Clock::now();
        }
        if (!options.bNoLease && Clock::now() >= tNextLease) {
            pRunner->LeaseCycle();
            tNextLease = Clock::now() + leaseEvery;
        }
    }

    log.Write(RUNNER, "stopping " + std::to_string(pRunner->GetStatus().nRunning) +
                          " tasks (a second signal exits at once)");
    pRunner->RequestStopAll();
    while (pRunner->AnyRunning()) {
        if (IsStopSignal(WaitSignal(setSignals, 100))) {
            log.Write(RUNNER, "second signal: exiting at once");
            std::fflush(stderr);
            _exit(1);
        }
    }
    pRunner->StopAll();
    alarms.WaitIdle(2000);
    status.Stop();
    pRunner.reset();
    log.Write(RUNNER, "all tasks ended; exiting");
    return 0;
}
