#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace orbit {

// The hooks every record passes before it is queued. A hook edits the record, returns another
// one, or returns nothing to drop it. Hooks run outside the lock, on the thread that builds the
// record, so a hook may replace the chain itself.
template <typename Record>
class BeforeSendChain {
public:
    using Pointer = std::shared_ptr<Record>;
    using Hook = std::function<Pointer(Pointer)>;

    // Replaces the chain: the hooks in order, stopping at the first that drops the record.
    void set(std::vector<Hook> hooks) {
        auto composed = std::make_shared<const Hook>([hooks = std::move(hooks)](Pointer record) {
            for (const auto& hook : hooks) {
                if (!record) break;
                record = hook(std::move(record));
            }
            return record;
        });
        std::lock_guard lock(lock_);
        block_ = std::move(composed);
    }

    Pointer run(Pointer record) const {
        std::shared_ptr<const Hook> block;
        {
            std::lock_guard lock(lock_);
            block = block_;
        }
        return (*block)(std::move(record));
    }

private:
    mutable std::mutex lock_;
    std::shared_ptr<const Hook> block_ = std::make_shared<const Hook>([](Pointer record) { return record; });
};

}  // namespace orbit
