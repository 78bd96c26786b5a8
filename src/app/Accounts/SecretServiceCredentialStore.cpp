// libsecret first: GLib's headers name struct members "signals", which Qt defines as a macro.
#include <libsecret/secret.h>

#include "Accounts/SecretServiceCredentialStore.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

#include "Accounts/KeychainError.h"
#include "platform/Utf8.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

constexpr const char* kSecretsBusName = "org.freedesktop.secrets";
constexpr const char* kSecretsPath = "/org/freedesktop/secrets";

// Matching ignores the schema's name, so items are found by service and account alone.
const SecretSchema kSchema = {"com.sablix.app.Credential",
                              SECRET_SCHEMA_DONT_MATCH_NAME,
                              {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

// GLib's error codes are not negative; 0 is each domain's generic failure.
int32_t statusOf(const GError& error) { return error.code > 0 ? -error.code : -1; }

// GLib would otherwise start a bus of its own (dbus-launch) to answer the question.
bool sessionBusIsKnown() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') return false;
    struct stat status {};
    return ::stat((std::filesystem::path(runtime) / "bus").c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

SecretServiceCredentialStore::SecretServiceCredentialStore(std::string serviceName)
    : serviceName_(std::move(serviceName)) {}

bool SecretServiceCredentialStore::isAvailable(std::chrono::milliseconds timeout) {
    if (!sessionBusIsKnown()) return false;
    GError* rawError = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError);
    ErrorPtr error(rawError);
    if (!bus) return false;
    rawError = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, kSecretsBusName, kSecretsPath, "org.freedesktop.DBus.Peer",
                                                  "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  static_cast<gint>(timeout.count()), nullptr, &rawError);
    error.reset(rawError);
    if (reply) g_variant_unref(reply);
    g_object_unref(bus);
    return reply != nullptr;
}

void SecretServiceCredentialStore::saveString(const std::string& value, const std::string& account) {
    if (!platform::utf8::isValid(value)) throw KeychainError::unexpectedData();
    // Delete, then add: a value is never updated in place. An absent item is the usual case.
    GError* rawError = nullptr;
    secret_password_clear_sync(&kSchema, nullptr, &rawError, "service", serviceName_.c_str(), "account",
                               account.c_str(), nullptr);
    ErrorPtr error(rawError);
    rawError = nullptr;
    const gboolean stored =
        secret_password_store_sync(&kSchema, SECRET_COLLECTION_DEFAULT, serviceName_.c_str(), value.c_str(), nullptr,
                                   &rawError, "service", serviceName_.c_str(), "account", account.c_str(), nullptr);
    error.reset(rawError);
    if (!stored) {
        const int32_t status = error ? statusOf(*error) : -1;
        logger_.error("Secret Service refused to store %s: %s", account.c_str(),
                      posix::escapedForLog(error ? error->message : "no reason given").c_str());
        throw KeychainError::saveFailed(status);
    }
}

std::optional<std::string> SecretServiceCredentialStore::readString(const std::string& account) {
    GError* rawError = nullptr;
    gchar* secret = secret_password_lookup_sync(&kSchema, nullptr, &rawError, "service", serviceName_.c_str(),
                                                "account", account.c_str(), nullptr);
    ErrorPtr error(rawError);
    if (!secret) return std::nullopt;
    std::string value(secret);
    secret_password_free(secret);
    if (!platform::utf8::isValid(value)) return std::nullopt;
    return value;
}

void SecretServiceCredentialStore::deleteString(const std::string& account) {
    GError* rawError = nullptr;
    secret_password_clear_sync(&kSchema, nullptr, &rawError, "service", serviceName_.c_str(), "account",
                               account.c_str(), nullptr);
    ErrorPtr error(rawError);
    if (error) {
        logger_.error("Secret Service refused to delete %s: %s", account.c_str(),
                      posix::escapedForLog(error->message).c_str());
        throw KeychainError::deleteFailed(statusOf(*error));
    }
}

}  // namespace sablix
