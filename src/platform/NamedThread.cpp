#include "platform/NamedThread.h"

#include <pthread.h>

namespace platform {
namespace {
constexpr size_t kMaxNameLength = 15;  // the kernel's limit, without the terminating NUL
}

NamedThread::NamedThread(std::string name, std::function<void()> body)
    : thread_([name = name.substr(0, kMaxNameLength), body = std::move(body), finished = finished_] {
          // Named from inside, so that nothing the body does runs under the creator's name.
          pthread_setname_np(pthread_self(), name.c_str());
          body();
          *finished = true;
      }) {}

NamedThread::~NamedThread() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace platform
