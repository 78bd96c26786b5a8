#include "servers/HttpsServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "servers/LowerCased.h"

namespace testservers {
namespace {

constexpr int kMaxStartWaitMs = 5'000;

template <typename T, void (*Free)(T*)>
struct Freeing {
    void operator()(T* value) const { Free(value); }
};
using Key = std::unique_ptr<EVP_PKEY, Freeing<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freeing<X509, X509_free>>;

void require(bool done, const char* what) {
    if (!done) throw std::runtime_error(std::string("HttpsServer: ") + what);
}

void addExtension(X509* certificate, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool added = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    require(added, "certificate extension");
}

Certificate selfSigned(EVP_PKEY* key) {
    Certificate certificate(X509_new());
    require(certificate && X509_set_version(certificate.get(), X509_VERSION_3) == 1, "certificate");
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(certificate.get(), name);
    addExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    require(X509_sign(certificate.get(), key, EVP_sha256()) > 0, "signature");
    return certificate;
}

std::string pem(X509* certificate) {
    std::unique_ptr<BIO, Freeing<BIO, BIO_free_all>> out(BIO_new(BIO_s_mem()));
    require(out && PEM_write_bio_X509(out.get(), certificate) == 1, "PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

}  // namespace

struct HttpsServer::Impl {
    explicit Impl(Answering answering)
        : answering(std::move(answering)),
          key(EVP_EC_gen("P-256")),
          certificate((require(key != nullptr, "key"), selfSigned(key.get()))),
          certificatePem(pem(certificate.get())),
          server(certificate.get(), key.get()) {
        require(server.is_valid(), "TLS context");
        // Short keep-alive waits let the destructor return promptly.
        server.set_keep_alive_timeout(1);
        const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            serve(request, response);
        };
        server.Get(".*", handler);
        server.Post(".*", handler);
        port = server.bind_to_any_port("127.0.0.1");
        require(port > 0, "bind");
        thread = std::thread([this] { server.listen_after_bind(); });
        // A stop before the loop runs would go unnoticed and leave it accepting forever.
        for (int waited = 0; !server.is_running() && waited < kMaxStartWaitMs; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Impl() {
        server.stop();
        thread.join();
    }

    void serve(const httplib::Request& request, httplib::Response& response) {
        Request taken{request.method, request.path, {}, request.body};
        for (const auto& [name, value] : request.headers) taken.headers.emplace(lowerCased(name), value);
        {
            std::lock_guard guard(lock);
            requests.push_back(taken);
        }
        const Answer given = answering(taken);
        response.status = given.status;
        for (const auto& [name, value] : given.headers) response.set_header(name, value);
        response.body = given.body;
    }

    const Answering answering;
    const Key key;
    const Certificate certificate;
    const std::string certificatePem;
    httplib::SSLServer server;
    int port = 0;
    std::thread thread;
    mutable std::mutex lock;
    std::vector<Request> requests;
};

HttpsServer::HttpsServer(Answering answering) : impl_(std::make_unique<Impl>(std::move(answering))) {}

HttpsServer::~HttpsServer() = default;

std::string HttpsServer::url(const std::string& path, const std::string& host) const {
    return "https://" + host + ":" + std::to_string(impl_->port) + path;
}

const std::string& HttpsServer::certificatePem() const { return impl_->certificatePem; }

std::vector<HttpsServer::Request> HttpsServer::requests() const {
    std::lock_guard guard(impl_->lock);
    return impl_->requests;
}

}  // namespace testservers
