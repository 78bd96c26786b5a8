#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "orbit/Utils/Uuid.h"

namespace orbit {

class OrbitConfig;
class OrbitStorage;
struct OrbitHost;

// The client's identity values: anonymous id, device id, distinct id, and whether the user is
// identified and person processing is on. Each is loaded on first use, kept in memory, written
// through on every change, and guarded by a lock of its own. Locks nest in one direction only:
// identified → distinct → anonymous, and device → anonymous. Ids are upper-case UUID text.
class OrbitStorageManager {
public:
    using IdGenerator = std::function<Uuid(const Uuid&)>;

    // With a storage of its own over the configuration's folder, and the configuration's mapping
    // of new anonymous ids.
    OrbitStorageManager(const OrbitConfig& config, const OrbitHost& host);
    OrbitStorageManager(std::shared_ptr<OrbitStorage> storage, IdGenerator idGen);
    virtual ~OrbitStorageManager();
    OrbitStorageManager(const OrbitStorageManager&) = delete;
    OrbitStorageManager& operator=(const OrbitStorageManager&) = delete;

    // The getters return "" for a value that is absent.
    virtual std::string getAnonymousId();
    void setAnonymousId(const std::string& id);
    // The first anonymous id, kept across resets.
    virtual std::string getDeviceId();
    // The anonymous id while no distinct id was set or stored.
    virtual std::string getDistinctId();
    void setDistinctId(const std::string& id);
    // When nothing is stored: whether the distinct id differs from the anonymous id.
    bool isIdentified();
    void setIdentified(bool value);
    bool isPersonProcessing();
    void setPersonProcessing(bool value);
    // Forgets the values in memory (the device id never), and deletes their files when asked.
    void reset(bool keepAnonymousId, bool deleteFiles);

private:
    void ensureAnonymousId();  // with anonLock_ held

    const std::shared_ptr<OrbitStorage> storage_;
    std::mutex anonLock_;
    std::mutex distinctLock_;
    std::mutex deviceIdLock_;
    std::mutex identifiedLock_;
    std::mutex personProcessingLock_;
    const IdGenerator idGen_;
    std::optional<std::string> distinctId_;
    bool cachedDistinctId_ = false;
    std::optional<std::string> anonymousId_;
    std::optional<std::string> deviceId_;
    std::optional<bool> isIdentifiedValue_;
    std::optional<bool> personProcessingEnabled_;
};

}  // namespace orbit
