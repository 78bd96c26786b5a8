#include "orbit/OrbitStorageManager.h"

#include "orbit/OrbitConfig.h"
#include "orbit/OrbitStorage.h"
#include "orbit/Utils/TimeBasedEpochGenerator.h"

namespace orbit {

using Key = OrbitStorage::StorageKey;

OrbitStorageManager::OrbitStorageManager(const OrbitConfig& config, const OrbitHost& host)
    : OrbitStorageManager(std::make_shared<OrbitStorage>(config, host), config.getAnonymousId) {}

OrbitStorageManager::OrbitStorageManager(std::shared_ptr<OrbitStorage> storage, IdGenerator idGen)
    : storage_(std::move(storage)), idGen_(idGen ? std::move(idGen) : [](const Uuid& id) { return id; }) {}

OrbitStorageManager::~OrbitStorageManager() = default;

void OrbitStorageManager::ensureAnonymousId() {
    if (anonymousId_) return;
    if ((anonymousId_ = storage_->getString(Key::anonymousId))) return;
    anonymousId_ = idGen_(TimeBasedEpochGenerator::shared().v7()).toString();
    storage_->setString(Key::anonymousId, *anonymousId_);
}

std::string OrbitStorageManager::getAnonymousId() {
    std::lock_guard lock(anonLock_);
    ensureAnonymousId();
    return anonymousId_.value_or("");
}

void OrbitStorageManager::setAnonymousId(const std::string& id) {
    std::lock_guard lock(anonLock_);
    anonymousId_ = id;
    storage_->setString(Key::anonymousId, id);
}

std::string OrbitStorageManager::getDeviceId() {
    std::lock_guard lock(deviceIdLock_);
    if (!deviceId_) deviceId_ = storage_->getString(Key::deviceId);
    if (!deviceId_) {
        std::string anonymousId;
        {
            std::lock_guard anonLock(anonLock_);
            ensureAnonymousId();
            anonymousId = anonymousId_.value_or("");
        }
        deviceId_ = anonymousId;
        storage_->setString(Key::deviceId, anonymousId);
    }
    return *deviceId_;
}

std::string OrbitStorageManager::getDistinctId() {
    std::lock_guard lock(distinctLock_);
    if (distinctId_) return *distinctId_;
    if (!cachedDistinctId_) {
        distinctId_ = storage_->getString(Key::distinctId);
        cachedDistinctId_ = true;
        if (distinctId_) return *distinctId_;
    }
    std::lock_guard anonLock(anonLock_);
    ensureAnonymousId();
    return anonymousId_.value_or("");
}

void OrbitStorageManager::setDistinctId(const std::string& id) {
    std::lock_guard lock(distinctLock_);
    distinctId_ = id;
    storage_->setString(Key::distinctId, id);
}

bool OrbitStorageManager::isIdentified() {
    std::lock_guard lock(identifiedLock_);
    if (!isIdentifiedValue_) isIdentifiedValue_ = storage_->getBool(Key::isIdentified);
    if (!isIdentifiedValue_) {
        const auto distinctId = getDistinctId();
        std::lock_guard anonLock(anonLock_);
        ensureAnonymousId();
        isIdentifiedValue_ = distinctId != anonymousId_.value_or("");
    }
    return *isIdentifiedValue_;
}

void OrbitStorageManager::setIdentified(bool value) {
    std::lock_guard lock(identifiedLock_);
    isIdentifiedValue_ = value;
    storage_->setBool(Key::isIdentified, value);
}

bool OrbitStorageManager::isPersonProcessing() {
    std::lock_guard lock(personProcessingLock_);
    if (!personProcessingEnabled_)
        personProcessingEnabled_ = storage_->getBool(Key::personProcessingEnabled).value_or(false);
    return *personProcessingEnabled_;
}

void OrbitStorageManager::setPersonProcessing(bool value) {
    std::lock_guard lock(personProcessingLock_);
    if (personProcessingEnabled_ == value) return;
    personProcessingEnabled_ = value;
    storage_->setBool(Key::personProcessingEnabled, value);
}

void OrbitStorageManager::reset(bool keepAnonymousId, bool deleteFiles) {
    {
        std::lock_guard lock(distinctLock_);
        distinctId_.reset();
        cachedDistinctId_ = false;
        if (deleteFiles) storage_->remove(Key::distinctId);
    }
    if (!keepAnonymousId) {
        std::lock_guard lock(anonLock_);
        anonymousId_.reset();
        if (deleteFiles) storage_->remove(Key::anonymousId);
    }
    {
        std::lock_guard lock(identifiedLock_);
        isIdentifiedValue_.reset();
        if (deleteFiles) storage_->remove(Key::isIdentified);
    }
    std::lock_guard lock(personProcessingLock_);
    personProcessingEnabled_.reset();
    if (deleteFiles) storage_->remove(Key::personProcessingEnabled);
}

}  // namespace orbit
