#include "orbit/OrbitNotificationCenter.h"

namespace orbit {

OrbitNotificationCenter& OrbitNotificationCenter::defaultCenter() {
    static OrbitNotificationCenter* const instance = new OrbitNotificationCenter();
    return *instance;
}

std::unique_ptr<RegistrationToken> OrbitNotificationCenter::addObserver(const std::string& name, Observer observer) {
    return posted_.subscribe([name, observer = std::move(observer)](const std::string& posted) {
        if (posted == name) observer(posted);
    });
}

void OrbitNotificationCenter::post(const std::string& name) { posted_.invoke(name); }

}  // namespace orbit
