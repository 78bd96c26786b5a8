#include "orbit/Utils/Gzip.h"

#include <climits>

#include <zlib.h>

#include "orbit/Utils/Utf8.h"

namespace orbit {
namespace {

constexpr size_t kGrowthStep = 16384;
constexpr int kMemoryLevel = 9;

GzipError::Kind kindOf(int code) {
    switch (code) {
    case Z_STREAM_ERROR: return {GzipError::Kind::stream, code};
    case Z_DATA_ERROR: return {GzipError::Kind::data, code};
    case Z_MEM_ERROR: return {GzipError::Kind::memory, code};
    case Z_BUF_ERROR: return {GzipError::Kind::buffer, code};
    case Z_VERSION_ERROR: return {GzipError::Kind::version, code};
    default: return {GzipError::Kind::unknown, code};
    }
}

}  // namespace

GzipError::GzipError(int code, const char* msg)
    : kind(kindOf(code)), message(msg && isValidUtf8(msg) ? msg : "Unknown gzip error") {}

std::string gzipped(std::string_view input, CompressionLevel level, int wBits) {
    if (input.empty()) return {};
    // zlib counts a call's input in 32 bits; one body never comes near, and a bigger one would be
    // cut short without this.
    if (input.size() > UINT_MAX) throw GzipError(Z_BUF_ERROR, "input too large");

    z_stream stream{};
    const int initialised = deflateInit2(&stream, level.rawValue, Z_DEFLATED, wBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
    if (initialised != Z_OK) throw GzipError(initialised, stream.msg);

    std::string output;
    output.reserve(kGrowthStep);
    int status = Z_OK;
    do {
        if (stream.total_out >= output.size()) output.resize(output.size() + kGrowthStep);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data())) + stream.total_in;
        stream.avail_in = static_cast<uInt>(input.size() - stream.total_in);
        stream.next_out = reinterpret_cast<Bytef*>(output.data()) + stream.total_out;
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        status = deflate(&stream, Z_FINISH);
        stream.next_in = nullptr;
        stream.next_out = nullptr;
    } while (stream.avail_out == 0 && status != Z_STREAM_END);

    const int ended = deflateEnd(&stream);
    if (ended != Z_OK || status != Z_STREAM_END) throw GzipError(status, stream.msg);
    output.resize(stream.total_out);
    return output;
}

}  // namespace orbit
