#include "crashreporter/OBCrashReporter.h"

#include <cxxabi.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <typeinfo>

#include "crashreporter/OBCrashAsyncCrashGuard.h"
#include "crashreporter/OBCrashAsyncFile.h"
#include "crashreporter/OBCrashAsyncImageList.h"
#include "crashreporter/OBCrashAsyncSignalInfo.h"
#include "crashreporter/OBCrashAsyncSymbols.h"
#include "crashreporter/OBCrashAsyncThreadState.h"
#include "crashreporter/OBCrashAsyncThreads.h"
#include "crashreporter/OBCrashImageTracker.h"
#include "crashreporter/OBCrashLog.h"
#include "crashreporter/OBCrashLogWriter.h"
#include "crashreporter/OBCrashMachExceptionServer.h"
#include "crashreporter/OBCrashProcessInfo.h"
#include "crashreporter/OBCrashSignalHandler.h"
#include "crashreporter/OBCrashTracedException.h"

namespace obcrash {
namespace {

// Everything a crash handler reads. A plain global with nothing to destroy: the handlers stay
// installed until the process ends, static destructors after main included.
struct ReporterHandlerContext {
    obcrash_handler_context_t report;
    obcrash_mach_exception_port_set previousPorts;
};

ReporterHandlerContext signal_handler_context;
OBCrashReporterCallbacks crashCallbacks;
std::atomic<bool> exception_is_handled{false};

// Process-wide and never destroyed, for the same reason as the handler context.
std::mutex& enforceOneLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
bool enforceOne = false;  // with enforceOneLock() held

// The writer's custom data and its initialisation must not overlap: every reporter of the process
// changes them under this lock.
std::mutex& writerLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

struct SharedImages {
    obcrash_async_image_list_t list;
    ImageTracker* tracker;
};

SharedImages& sharedImages() {
    static SharedImages* const images = [] {
        auto* made = new SharedImages{};
        obcrash_nasync_image_list_init(&made->list, ob_mach_task_self());
        // Kept up to date from the first reporter on; it outlives every report that reads it.
        made->tracker = new ImageTracker(made->list);
        made->tracker->sync();
        made->tracker->start();
        // A forked child refreshes the list too, without the tracker's thread.
        static ImageTracker* const forked = made->tracker;
        pthread_atfork([] { forked->holdChecks(); }, [] { forked->releaseChecks(); }, [] { forked->releaseChecks(); });
        return made;
    }();
    return *images;
}

obcrash_async_image_list_t& sharedImageList() { return sharedImages().list; }

// The tracker's own check comes only every few seconds; where the program tells the reporter
// something, a library it has just loaded is listed at once.
void refreshImageList() { sharedImages().tracker->syncIfChanged(); }

// Empty custom data is still custom data: the writer reads a null pointer as none.
void handCustomData(obcrash_log_writer_t* writer, const std::optional<std::vector<uint8_t>>& data) {
    static const uint8_t kNoBytes = 0;
    if (!data)
        obcrash_log_writer_set_custom_data(writer, nullptr, 0);
    else
        obcrash_log_writer_set_custom_data(writer, data->empty() ? &kNoBytes : data->data(), data->size());
}

constexpr int kCrashSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

OBCrashReporterError reporterError(int code, std::string description) {
    OBCrashReporterError error;
    error.code = code;
    error.description = std::move(description);
    return error;
}

void runCrashCallbacks(siginfo_t* info, ucontext_t* uap) {
    if (crashCallbacks.handleSignal != nullptr) crashCallbacks.handleSignal(info, uap, crashCallbacks.context);
}

// Returns only to the first crash of the process. A later crash of another thread waits for the
// first to end the process. A fault of the thread that already holds the crash, in its writer or
// in a crash callback, can be handled by nobody: it ends the process by the first crash's signal.
void takeTheCrash(int signo) {
    if (obcrash_async_crash_guard_take(signo)) return;
    if (obcrash_async_crash_guard_is_holder()) obcrash_async_crash_guard_end_process(signo);
    obcrash_async_crash_guard_wait();
}

void restoreDefaultActions() {
    for (const int crashSignal : kCrashSignals) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(crashSignal, &action, nullptr);
    }
}

bool signal_handler_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                             const OBCrashSignalHandlerCallback*) {
    takeTheCrash(signo);
    auto* handlerContext = static_cast<ReporterHandlerContext*>(context);
    obcrash_async_thread_state_t state;
    obcrash_async_thread_state_mcontext_init(&state, uap);
    const crash_bsd_signal_info_t bsd{signo, info->si_code, reinterpret_cast<uintptr_t>(info->si_addr)};
    const crash_signal_info_t signalInfo{&bsd, nullptr};
    if (obcrash_write_report(&handlerContext->report, ob_mach_thread_self(), &state, &signalInfo) == OBCRASH_OK)
        runCrashCallbacks(info, uap);
    // Only after the report: until then another thread's fault must wait in takeTheCrash rather
    // than end the process half-way through the file. The re-raised signal now ends it.
    restoreDefaultActions();
    return false;
}

struct MachCrash {
    ReporterHandlerContext* context;
    ob_thread_t thread;
    const crash_signal_info_t* signalInfo;
};

obcrash_error_t writeMachCrash(obcrash_async_thread_state_t* state, void* context) {
    const auto* crash = static_cast<const MachCrash*>(context);
    return obcrash_write_report(&crash->context->report, crash->thread, state, crash->signalInfo);
}

ob_kern_return_t mach_exception_callback(ob_task_t task, ob_thread_t thread, int32_t exception_type,
                                         const int64_t* codes, uint32_t code_count, void* context) {
    auto* handlerContext = static_cast<ReporterHandlerContext*>(context);
    if (OBCrashMachExceptionForward(task, thread, exception_type, codes, code_count, &handlerContext->previousPorts) ==
        OB_KERN_SUCCESS)
        return OB_KERN_SUCCESS;
    siginfo_t mapped;
    if (!obcrash_async_mach_exception_get_siginfo(exception_type, codes, code_count, CPU_TYPE_X86_64, &mapped))
        return OB_KERN_FAILURE;
    // Taken only for an exception that crashes: one a previous handler dealt with is no crash.
    takeTheCrash(mapped.si_signo);
    const crash_bsd_signal_info_t bsd{mapped.si_signo, mapped.si_code, reinterpret_cast<uintptr_t>(mapped.si_addr)};
    const crash_mach_signal_info_t mach{exception_type, codes, code_count};
    const crash_signal_info_t signalInfo{&bsd, &mach};
    MachCrash crash{handlerContext, thread, &signalInfo};
    if (obcrash_async_thread_state_current(writeMachCrash, &crash) == OBCRASH_OK &&
        crashCallbacks.handleSignal != nullptr) {
        ucontext_t uap;
        obcrash_async_memset(&uap, 0, sizeof uap);
        runCrashCallbacks(&mapped, &uap);
    }
    return OB_KERN_FAILURE;
}

struct RecordedException {
    std::string name;
    std::string reason;
    std::vector<uint64_t> returnAddresses;
};

std::string demangled(const std::type_info* type) {
    if (type == nullptr) return "";
    int status = 0;
    char* name = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name != nullptr ? name : type->name();
    std::free(name);
    return result;
}

// What a report says of an exception: its type, its message, and where it was made when it
// recorded that. Empty addresses when it did not.
RecordedException recordException(const std::exception_ptr& exception) {
    RecordedException recorded;
    const OBCrashTracedException* traced = nullptr;
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& error) {
        recorded.name = demangled(&typeid(error));
        recorded.reason = error.what();
        traced = dynamic_cast<const OBCrashTracedException*>(&error);
        if (traced)
            for (const uintptr_t address : traced->callStackReturnAddresses())
                recorded.returnAddresses.push_back(address);
    } catch (const OBCrashTracedException& error) {
        recorded.name = demangled(&typeid(error));
        for (const uintptr_t address : error.callStackReturnAddresses()) recorded.returnAddresses.push_back(address);
    } catch (...) {
        recorded.name = demangled(abi::__cxa_current_exception_type());
    }
    return recorded;
}

[[noreturn]] void uncaught_exception_handler() {
    if (exception_is_handled.exchange(true)) std::abort();
    if (const auto exception = std::current_exception()) {
        auto recorded = recordException(exception);
        if (recorded.returnAddresses.empty()) {
            // Nothing has unwound yet: this handler's own stack still runs through the throw site.
            constexpr int kMaxFrames = 512;
            void* frames[kMaxFrames];
            const int count = backtrace(frames, kMaxFrames);
            for (int i = 1; i < count; ++i) recorded.returnAddresses.push_back(reinterpret_cast<uintptr_t>(frames[i]));
        }
        std::lock_guard lock(writerLock());
        obcrash_log_writer_set_exception(&signal_handler_context.report.writer, recorded.name.c_str(),
                                         recorded.reason.c_str(), recorded.returnAddresses.data(),
                                         recorded.returnAddresses.size());
    }
    std::abort();
}

std::string programName() { return program_invocation_short_name ? program_invocation_short_name : ""; }

std::string pathComponent(std::string identifier) {
    for (char& c : identifier)
        if (c == '/') c = '_';
    return identifier;
}

// Reads a regular file of at most `limit` bytes. Nothing else is waited for or followed: a FIFO
// would block, a device or a link to one would never end.
std::optional<std::vector<uint8_t>> readWholeFile(const std::filesystem::path& path, uint64_t limit, int& errnum) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        errnum = errno;
        return std::nullopt;
    }
    const auto fail = [&](int error) -> std::optional<std::vector<uint8_t>> {
        errnum = error;
        close(fd);
        return std::nullopt;
    };
    struct stat status;
    if (fstat(fd, &status) != 0) return fail(errno);
    if (S_ISDIR(status.st_mode)) return fail(EISDIR);
    if (!S_ISREG(status.st_mode)) return fail(EINVAL);
    if (static_cast<uint64_t>(status.st_size) > limit) return fail(EFBIG);
    std::vector<uint8_t> data;
    data.reserve(static_cast<size_t>(status.st_size));
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        // It may grow while it is read.
        if (data.size() + static_cast<size_t>(got) > limit) return fail(EFBIG);
        data.insert(data.end(), buffer, buffer + got);
    }
    close(fd);
    return data;
}

std::filesystem::path temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] == '/' ? std::filesystem::path(tmp) : std::filesystem::path("/tmp");
}

struct LiveWrite {
    obcrash_log_writer_t* writer;
    obcrash_async_file_t* file;
    const crash_signal_info_t* signalInfo;
};

obcrash_error_t writeLive(obcrash_async_thread_state_t* state, void* context) {
    const auto* live = static_cast<const LiveWrite*>(context);
    return obcrash_log_writer_write(live->writer, ob_mach_thread_self(), &sharedImageList(), live->file,
                                    live->signalInfo, state);
}

}  // namespace

std::filesystem::path obcrashCachesDirectory() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') return cache;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "") / ".cache";
}

OBCrashReporter& OBCrashReporter::sharedReporter() {
    static auto* const reporter = new OBCrashReporter();
    return *reporter;
}

OBCrashReporter::OBCrashReporter(OBCrashReporterConfig configuration)
    : OBCrashReporter(OBCrashApplicationInfo{}, std::move(configuration)) {}

OBCrashReporter::OBCrashReporter(const OBCrashApplicationInfo& application, OBCrashReporterConfig configuration)
    : config_(std::move(configuration)) {
    std::string identifier = application.identifier.value_or("");
    if (identifier.empty()) {
        identifier = programName();
        if (identifier.empty()) throw OBCrashReporterException("Can not determine process identifier or process name");
        obcrashLog("Warning -- bundle identifier, using process name %s", identifier.c_str());
    }
    std::string version;
    if (application.version)
        version = *application.version;
    else
        obcrashLog("Warning -- bundle version unavailable");
    initWithApplicationIdentifier(std::move(identifier), std::move(version), application.marketingVersion);
}

OBCrashReporter::OBCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion,
                                 OBCrashReporterConfig configuration)
    : config_(std::move(configuration)) {
    initWithApplicationIdentifier(std::move(applicationIdentifier), std::move(applicationVersion),
                                  std::move(applicationMarketingVersion));
}

OBCrashReporter::~OBCrashReporter() = default;

void OBCrashReporter::initWithApplicationIdentifier(std::string identifier, std::string version,
                                                    std::optional<std::string> marketingVersion) {
    // The list follows the loader from the first reporter on.
    sharedImageList();
    applicationIdentifier_ = std::move(identifier);
    applicationVersion_ = std::move(version);
    applicationMarketingVersion_ = std::move(marketingVersion);
    crashReportDirectory_ = config_.basePath().value_or(obcrashCachesDirectory()) / kDataDirectoryName /
                            pathComponent(applicationIdentifier_);
}

std::filesystem::path OBCrashReporter::crashReportPath() const { return crashReportDirectory_ / kLiveReportName; }

std::filesystem::path OBCrashReporter::queuedCrashReportDirectory() const {
    return crashReportDirectory_ / kQueuedReportsName;
}

bool OBCrashReporter::hasPendingCrashReport() const {
    // Whatever stands at the path, a dangling link included: it is loaded or purged, never skipped.
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(crashReportPath(), ignored));
}

std::optional<std::vector<uint8_t>> OBCrashReporter::loadPendingCrashReportData(OBCrashReporterError* error) const {
    int errnum = 0;
    auto data = readWholeFile(crashReportPath(), kMaxPendingReportBytes, errnum);
    if (!data) obcrashPopulateError(error, OBCrashReporterError::posix(errnum, std::strerror(errnum)));
    return data;
}

bool OBCrashReporter::purgePendingCrashReport(OBCrashReporterError* error) const {
    // Whatever stands at the path goes: a directory there would keep every later crash from
    // writing its report.
    std::error_code failure;
    const auto removed = std::filesystem::remove_all(crashReportPath(), failure);
    if (!failure && removed == 0) failure = std::make_error_code(std::errc::no_such_file_or_directory);
    if (failure) obcrashPopulateError(error, OBCrashReporterError::posix(failure.value(), failure.message()));
    return !failure;
}

bool OBCrashReporter::populateCrashReportDirectory(OBCrashReporterError* error) const {
    // Reports hold the program's memory contents and custom data: the owner's alone.
    for (const auto& directory :
         {crashReportDirectory_.parent_path(), crashReportDirectory_, queuedCrashReportDirectory()}) {
        std::error_code failure;
        std::filesystem::create_directories(directory, failure);
        if (!failure && !std::filesystem::is_directory(directory, failure) && !failure)
            failure = std::make_error_code(std::errc::not_a_directory);
        if (failure) {
            obcrashPopulateError(error, OBCrashReporterError::posix(failure.value(), failure.message()));
            return false;
        }
        std::filesystem::permissions(directory, std::filesystem::perms::owner_all, failure);
    }
    return true;
}

int OBCrashReporter::mapToAsyncSymbolicationStrategy(uint64_t strategy) {
    return static_cast<int>(strategy &
                            (OBCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE | OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC));
}

bool OBCrashReporter::enableCrashReporter(OBCrashReporterError* error) {
    {
        std::lock_guard lock(enforceOneLock());
        if (enforceOne) {
            obcrashPopulateError(
                error, reporterError(kErrorAlreadyEnabled, "A OBCrashReporter instance has already been enabled"));
            return false;
        }
        enforceOne = true;
    }
    if (!populateCrashReportDirectory(error)) return false;

    auto& context = signal_handler_context;
    // Copied once and never freed: the handlers read it until the process ends.
    context.report.report_path = strdup(crashReportPath().c_str());
    context.report.image_list = &sharedImageList();
    {
        std::lock_guard lock(writerLock());
        obcrash_log_writer_init(&context.report.writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                                applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                                mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), false);
        const std::lock_guard dataLock(customDataLock_);
        if (customData_) handCustomData(&context.report.writer, customData_);
    }
    refreshImageList();
    // A crash stops the other threads through a signal of its own, made ready here.
    obcrash_nasync_threads_setup();

    if (config_.signalHandlerType() == OBCrashReporterConfig::kSignalHandlerTypeBSD) {
        auto* handler = OBCrashSignalHandler::sharedHandler();
        for (const int signo : kCrashSignals)
            if (!handler || !handler->registerHandlerForSignal(signo, signal_handler_callback, &context, error))
                return false;
    } else if (config_.signalHandlerType() == OBCrashReporterConfig::kSignalHandlerTypeMach) {
        auto* handler = OBCrashSignalHandler::sharedHandler();
        if (!handler || !handler->registerHandlerForSignal(SIGABRT, signal_handler_callback, &context, error))
            return false;
        if (!enableMachExceptionServer(error)) return false;
        context.previousPorts =
            previousMachPorts_ ? previousMachPorts_->asyncSafeRepresentation() : obcrash_mach_exception_port_set{};
    }
    if (config_.shouldRegisterUncaughtExceptionHandler()) std::set_terminate(uncaught_exception_handler);
    enabled_ = true;
    return true;
}

bool OBCrashReporter::enableMachExceptionServer(OBCrashReporterError* error) {
    const uint32_t mask = obcrashMachExceptionMask(OBCrashHostInfo::currentHostInfo());
    OBCrashReporterError underlying;
    auto server =
        OBCrashMachExceptionServer::initWithCallBack(mach_exception_callback, &signal_handler_context, &underlying);
    if (!server) {
        auto failed = reporterError(kErrorOperatingSystem, "Failed to instantiate the Mach exception server.");
        failed.underlyingDomain = underlying.underlyingDomain.empty() ? underlying.domain : underlying.underlyingDomain;
        failed.underlyingCode = underlying.underlyingDomain.empty() ? underlying.code : underlying.underlyingCode;
        obcrashPopulateError(error, std::move(failed));
        return false;
    }
    const auto port = server->exceptionPortWithMask(mask, &underlying);
    if (!port) {
        obcrashPopulateError(error,
                             reporterError(kErrorOperatingSystem, "Failed to instantiate the Mach exception port."));
        return false;
    }
    if (!port->registerForTask(ob_mach_task_self(), &previousMachPorts_, &underlying)) {
        obcrashPopulateError(
            error, reporterError(kErrorOperatingSystem, "Failed to set the target task's mach exception ports."));
        return false;
    }
    machServer_ = std::move(server);
    return true;
}

void OBCrashReporter::setCustomData(std::optional<std::vector<uint8_t>> data) {
    refreshImageList();
    std::lock_guard lock(writerLock());
    const std::lock_guard dataLock(customDataLock_);
    customData_ = std::move(data);
    handCustomData(&signal_handler_context.report.writer, customData_);
}

std::optional<std::vector<uint8_t>> OBCrashReporter::customData() const {
    const std::lock_guard lock(customDataLock_);
    return customData_;
}

void OBCrashReporter::setCrashCallbacks(const OBCrashReporterCallbacks* callbacks) {
    if (enabled_) throw OBCrashReporterException("The crash reporter has already been enabled");
    if (callbacks == nullptr) return;
    if (callbacks->version != 0) {
        obcrashLog("Assertion failed: callbacks->version == 0");
        std::abort();
    }
    crashCallbacks.context = callbacks->context;
    crashCallbacks.handleSignal = callbacks->handleSignal;
}

std::optional<std::vector<uint8_t>> OBCrashReporter::generateLiveReport(OBCrashReporterError* error) {
    return generateLiveReportWithThread(ob_mach_thread_self(), nullptr, error);
}

std::optional<std::vector<uint8_t>> OBCrashReporter::generateLiveReportWithException(
    const std::exception_ptr& exception, OBCrashReporterError* error) {
    return generateLiveReportWithThread(ob_mach_thread_self(), exception, error);
}

std::optional<std::vector<uint8_t>> OBCrashReporter::generateLiveReportWithThread(ob_thread_t thread,
                                                                                  OBCrashReporterError* error) {
    return generateLiveReportWithThread(thread, nullptr, error);
}

std::optional<std::vector<uint8_t>> OBCrashReporter::generateLiveReportWithThread(ob_thread_t thread,
                                                                                  const std::exception_ptr& exception,
                                                                                  OBCrashReporterError* error) {
    const void* const address = __builtin_return_address(0);
    refreshImageList();
    auto path = (temporaryDirectory() / "live_crash_report.XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        obcrashPopulateError(error, OBCrashReporterError::posix(errno, "Failed to create temporary path"));
        return std::nullopt;
    }
    obcrash_nasync_threads_setup();
    auto writer = std::make_unique<obcrash_log_writer_t>();
    obcrash_log_writer_init(writer.get(), applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                            applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                            mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), true);
    obcrash_async_file_t file;
    obcrash_async_file_init(&file, fd, config_.maxReportBytes());
    if (const auto data = customData()) handCustomData(writer.get(), data);
    if (exception) {
        const auto recorded = recordException(exception);
        obcrash_log_writer_set_exception(writer.get(), recorded.name.c_str(), recorded.reason.c_str(),
                                         recorded.returnAddresses.data(), recorded.returnAddresses.size());
    }
    const crash_bsd_signal_info_t bsd{SIGTRAP, TRAP_TRACE, reinterpret_cast<uintptr_t>(address)};
    const crash_signal_info_t signalInfo{&bsd, nullptr};
    obcrash_error_t status;
    if (thread == ob_mach_thread_self()) {
        LiveWrite live{writer.get(), &file, &signalInfo};
        status = obcrash_async_thread_state_current(writeLive, &live);
    } else {
        status = obcrash_log_writer_write(writer.get(), thread, &sharedImageList(), &file, &signalInfo, nullptr);
    }
    obcrash_log_writer_close(writer.get());
    if (writer->threads_left_out != 0) obcrashLog("The report leaves out %zu threads", writer->threads_left_out);
    const bool flushed = obcrash_async_file_flush(&file);
    const bool closed = obcrash_async_file_close(&file);
    if (status == OBCRASH_OK && !(flushed && closed)) status = OBCRASH_OUTPUT_ERROR;

    std::optional<std::vector<uint8_t>> data;
    if (status != OBCRASH_OK) {
        obcrashLog("Write failed with error %s", obcrash_async_strerror(status));
        obcrashPopulateError(error, reporterError(kErrorUnknown, "Failed to write the crash report to disk"));
    } else {
        int errnum = 0;
        data = readWholeFile(path, UINT64_MAX, errnum);
        if (!data)
            obcrashPopulateError(error, reporterError(kErrorUnknown, "Unable to open live crash report for reading"));
    }
    obcrash_log_writer_free(writer.get());
    if (unlink(path.c_str()) != 0) obcrashLog("Failure occured deleting live crash report: %s", std::strerror(errno));
    return data;
}

}  // namespace obcrash
