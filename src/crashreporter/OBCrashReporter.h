#pragma once
// The crash reporter's entry point. A program makes one reporter, reads and deletes the report its
// previous run left, keeps the custom data current, and enables the reporter once: enabling
// prepares everything the crash-time code needs and installs the handlers, which then stay for the
// life of the process. Only one enable per process succeeds, whichever reporter asks.
#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "crashreporter/OBCrashAsync.h"
#include "crashreporter/OBCrashReporterConfig.h"
#include "crashreporter/OBCrashReporterError.h"

namespace obcrash {

class OBCrashMachExceptionServer;
class OBCrashMachExceptionPortSet;

// Raised for a misuse of the reporter's API.
class OBCrashReporterException : public std::logic_error {
public:
    using std::logic_error::logic_error;
    static constexpr const char* name = "OBCrashReporterException";
};

// Called at crash time, after a report was written, from the crashing thread or the exception
// server's: only async-signal-safe work.
struct OBCrashReporterCallbacks {
    uint16_t version = 0;  // must be 0
    void* context = nullptr;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context) = nullptr;
};

// What the program says of itself; what it leaves out is taken from the process.
struct OBCrashApplicationInfo {
    std::optional<std::string> identifier;
    std::optional<std::string> version;  // the build
    std::optional<std::string> marketingVersion;
};

class OBCrashReporter {
public:
    static constexpr const char* kDataDirectoryName = "com.obcrash.crashreporter.data";
    static constexpr const char* kLiveReportName = "live_report.obcrash";
    static constexpr const char* kQueuedReportsName = "queued_reports";
    // A pending report larger than this is damaged: a report is a few hundred KiB at most.
    static constexpr uint64_t kMaxPendingReportBytes = 16 * 1024 * 1024;
    static constexpr int kErrorUnknown = 0;
    static constexpr int kErrorOperatingSystem = 1;
    static constexpr int kErrorAlreadyEnabled = 3;

    // Made once, from the process alone, with the default configuration; lives for the process.
    static OBCrashReporter& sharedReporter();

    explicit OBCrashReporter(OBCrashReporterConfig configuration = OBCrashReporterConfig::defaultConfiguration());
    // Without an identifier the program's name stands in (logged); without that either, throws
    // OBCrashReporterException. Without a version, "" (logged).
    OBCrashReporter(const OBCrashApplicationInfo& application, OBCrashReporterConfig configuration);
    OBCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                    std::optional<std::string> applicationMarketingVersion, OBCrashReporterConfig configuration);
    ~OBCrashReporter();
    OBCrashReporter(const OBCrashReporter&) = delete;
    OBCrashReporter& operator=(const OBCrashReporter&) = delete;

    const OBCrashReporterConfig& config() const { return config_; }
    const std::filesystem::path& crashReportDirectory() const { return crashReportDirectory_; }
    // The report of the last crash.
    std::filesystem::path crashReportPath() const;
    std::filesystem::path queuedCrashReportDirectory() const;

    bool hasPendingCrashReport() const;
    // Only a regular file of at most kMaxPendingReportBytes is read; anything else at the path (a
    // link, a FIFO, a device, a directory, a larger file) is an error, and purging removes it.
    std::optional<std::vector<uint8_t>> loadPendingCrashReportData(OBCrashReporterError* error = nullptr) const;
    bool purgePendingCrashReport(OBCrashReporterError* error = nullptr) const;

    // Once per process: a second call, on this reporter or another, fails with code 3.
    bool enableCrashReporter(OBCrashReporterError* error = nullptr);
    bool enabled() const { return enabled_; }

    // Carried by every report from now on, whether this reporter is the enabled one or not;
    // nothing removes it. Safe from any thread.
    void setCustomData(std::optional<std::vector<uint8_t>> data);
    std::optional<std::vector<uint8_t>> customData() const;

    // Before enabling only (OBCrashReporterException after). A version other than 0 ends the process.
    void setCrashCallbacks(const OBCrashReporterCallbacks* callbacks);

    // A report of the process as it is now, as SIGTRAP/TRAP_TRACE with user_requested set; the
    // process goes on. The calling thread's forms list it; the other thread's form leaves it out.
    std::optional<std::vector<uint8_t>> generateLiveReport(OBCrashReporterError* error = nullptr);
    std::optional<std::vector<uint8_t>> generateLiveReportWithException(const std::exception_ptr& exception,
                                                                        OBCrashReporterError* error = nullptr);
    std::optional<std::vector<uint8_t>> generateLiveReportWithThread(ob_thread_t thread,
                                                                     OBCrashReporterError* error = nullptr);
    std::optional<std::vector<uint8_t>> generateLiveReportWithThread(ob_thread_t thread,
                                                                     const std::exception_ptr& exception,
                                                                     OBCrashReporterError* error);

    // The writer's strategy: the symbol-table and metadata flags, nothing else.
    static int mapToAsyncSymbolicationStrategy(uint64_t strategy);

private:
    void initWithApplicationIdentifier(std::string identifier, std::string version,
                                       std::optional<std::string> marketingVersion);
    bool populateCrashReportDirectory(OBCrashReporterError* error) const;
    bool enableMachExceptionServer(OBCrashReporterError* error);

    OBCrashReporterConfig config_;
    bool enabled_ = false;
    std::unique_ptr<OBCrashMachExceptionServer> machServer_;
    std::shared_ptr<OBCrashMachExceptionPortSet> previousMachPorts_;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
    std::filesystem::path crashReportDirectory_;
    mutable std::mutex customDataLock_;
    std::optional<std::vector<uint8_t>> customData_;  // with customDataLock_ held
};

// The user's cache folder: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
std::filesystem::path obcrashCachesDirectory();

}  // namespace obcrash
