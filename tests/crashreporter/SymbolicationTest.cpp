#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "UnwindTestSupport.h"
#include "crashreporter/OBCrashAsyncSymbols.h"
#include "support/ChildProcess.h"

namespace {

std::string fixture(const std::string& name) { return std::string(OBCRASH_MACHO_FIXTURES) + "/" + name; }

const std::string kObjC = fixture("objc-x86_64");
const std::string kStripped = fixture("objc-stripped-x86_64");

std::string run(const std::vector<std::string>& argv) {
    int code = -1;
    const std::string text = testsupport::runCommand(argv, &code);
    EXPECT_EQ(code, 0) << text;
    return text;
}

// Every method that llvm-objdump lists in the image's classes and categories, by implementation
// address. Read from the stripped file, where an implementation is printed as its address.
std::map<uint64_t, std::string> objdumpMethods(const std::string& path) {
    std::map<uint64_t, std::string> methods;
    std::istringstream lines(run({"llvm-objdump", "--macho", "--objc-meta-data", path}));
    std::string line, className, selector;
    bool meta = false;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, std::regex("^[0-9a-f]{16} .*")) || line.find("instanceMethods") != std::string::npos)
            meta = false;
        if (line == "Meta Class" || line.find("classMethods") != std::string::npos) meta = true;
        if (std::regex_match(line, m, std::regex(R"(^ {21}name 0x[0-9a-f]+ (\S+)$)"))) className = m[1];
        if (std::regex_match(line, m, std::regex(R"(^\t\t {6}name 0x[0-9a-f]+ (\S+)$)"))) selector = m[1];
        if (std::regex_match(line, m, std::regex(R"(^\t\t {7}imp 0x([0-9a-f]+)\s*$)")))
            methods[std::stoull(m[1], nullptr, 16)] =
                std::string(meta ? "+[" : "-[") + className + " " + selector + "]";
    }
    return methods;
}

struct Found {
    obcrash_error_t error = OBCRASH_UNKNOWN;
    ob_vm_address_t address = 0;
    std::string name;
    int calls = 0;
};

Found lookup(obcrash_async_image_t* image, int strategy, uint64_t pc, obcrash_async_symbol_cache_t* shared = nullptr) {
    obcrash_async_symbol_cache_t own;
    obcrash_async_symbol_cache_init(&own);
    Found found;
    found.error = obcrash_async_find_symbol(
        image, strategy, shared != nullptr ? shared : &own, pc,
        [](ob_vm_address_t address, const char* name, void* context) {
            Found* f = static_cast<Found*>(context);
            f->address = address;
            f->name = name;
            ++f->calls;
        },
        &found);
    obcrash_async_symbol_cache_free(&own);
    return found;
}

// The Objective-C fixture placed at its link address, with its image record.
class PlacedObjC {
public:
    explicit PlacedObjC(const std::string& path, bool writable = false) : file_(path) {
        header_ = file_.placeAtLinkAddress(writable);
        if (header_ == 0) return;
        image_.kind = OBCRASH_IMAGE_MACHO;
        ok_ = obcrash_nasync_macho_init(&image_.macho, ob_mach_task_self(), path.c_str(), header_) == OBCRASH_OK;
    }
    ~PlacedObjC() {
        if (ok_) obcrash_nasync_macho_free(&image_.macho);
    }
    bool ok() const { return ok_; }
    obcrash_async_image_t* image() { return &image_; }
    uint64_t section(const std::string& name) const { return file_.section(name).addr; }
    template <typename T>
    static T& at(uint64_t address) {
        return *reinterpret_cast<T*>(address);
    }

private:
    unwindtest::MachOFile file_;
    uint64_t header_ = 0;
    obcrash_async_image_t image_{};
    bool ok_ = false;
};

uint64_t nmAddress(const std::string& path, const std::string& symbol) {
    std::istringstream lines(run({"llvm-nm", path}));
    std::string address, type, name;
    while (lines >> address >> type >> name)
        if (name == symbol) return std::stoull(address, nullptr, 16);
    return 0;
}

// A pc inside each method gives the name llvm-objdump lists, with or without the symbol table; where
// the symbol table knows a function at a higher address than any method, its name wins.
TEST(Symbolication, ObjCMethodsAreNamedAsTheToolchainListsThem) {
    const std::map<uint64_t, std::string> methods = objdumpMethods(kStripped);
    ASSERT_GE(methods.size(), 8u);
    EXPECT_EQ(methods.begin()->second, "+[Base make]");
    const uint64_t main = nmAddress(kStripped, "_main");
    ASSERT_GT(main, methods.rbegin()->first);

    for (const std::string& path : {kObjC, kStripped}) {
        SCOPED_TRACE(path);
        PlacedObjC placed(path);
        ASSERT_TRUE(placed.ok());
        obcrash_async_symbol_cache_t cache;
        obcrash_async_symbol_cache_init(&cache);
        bool sawLongName = false;
        for (const auto& [imp, name] : methods) {
            // The unstripped symbol table names the category method "-[Base(Extras) extra]" at the
            // same address: the metadata's name wins the tie.
            for (int strategy : {OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, OBCRASH_ASYNC_SYMBOL_STRATEGY_ALL}) {
                const Found found = lookup(placed.image(), strategy, imp + 1, &cache);
                ASSERT_EQ(found.error, OBCRASH_OK) << name;
                EXPECT_EQ(found.calls, 1);
                EXPECT_EQ(found.address, imp);
                EXPECT_EQ(found.name, name.substr(0, 255)) << strategy;
            }
            if (name.size() > 255) {
                sawLongName = true;
                const Found found = lookup(placed.image(), OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, imp, &cache);
                EXPECT_EQ(found.name.size(), 255u);
                EXPECT_EQ(found.name.rfind("-[LongNNN", 0), 0u);
                EXPECT_EQ(found.name.find(']'), std::string::npos);
            }
        }
        EXPECT_TRUE(sawLongName);

        EXPECT_EQ(lookup(placed.image(), OBCRASH_ASYNC_SYMBOL_STRATEGY_ALL, main + 1, &cache).name, "_main");
        EXPECT_EQ(lookup(placed.image(), OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, main + 1, &cache).name,
                  methods.rbegin()->second.substr(0, 255));
        obcrash_async_symbol_cache_free(&cache);
    }

    // No source selected: nothing is read, not even the image.
    const Found none = lookup(nullptr, OBCRASH_ASYNC_SYMBOL_STRATEGY_NONE, 0x1000);
    EXPECT_EQ(none.error, OBCRASH_NOT_FOUND);
    EXPECT_EQ(none.calls, 0);
}

// The forms the runtime gives metadata at run time: realized classes (with and without an extension
// record) and relative method lists whose names go through selector references; and an image
// without categories.
TEST(Symbolication, ObjCReadsRuntimeForms) {
    const std::map<uint64_t, std::string> methods = objdumpMethods(kStripped);
    uint64_t derivedValue = 0;
    for (const auto& [imp, name] : methods)
        if (name == "-[Derived value]") derivedValue = imp;
    ASSERT_NE(derivedValue, 0u);
    PlacedObjC placed(kStripped, true);
    ASSERT_TRUE(placed.ok());
    // The name, and the start address it was found at.
    const auto name = [&] {
        const Found found = lookup(placed.image(), OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, derivedValue + 1);
        return found.address == derivedValue ? found.name : "at another address: " + found.name;
    };

    const uint64_t derived = PlacedObjC::at<uint64_t>(placed.section("__objc_classlist") + 8);
    uint64_t& data = PlacedObjC::at<uint64_t>(derived + 32);
    const uint64_t ro = data;
    struct {
        uint32_t flags, reserved;
        uint64_t roOrExtension;
    } rw{1u << 31, 0, ro};
    uint64_t extension = ro;
    data = reinterpret_cast<uintptr_t>(&rw);
    EXPECT_EQ(name(), "-[Derived value]");
    rw.roOrExtension = reinterpret_cast<uintptr_t>(&extension) | 1;
    EXPECT_EQ(name(), "-[Derived value]");
    data = ro;

    const uint64_t list = PlacedObjC::at<uint64_t>(ro + 32);
    uint64_t selref = 0;
    for (uint64_t at = placed.section("__objc_selrefs"); at < placed.section("__objc_selrefs") + 16; at += 8)
        if (std::strcmp(reinterpret_cast<const char*>(PlacedObjC::at<uint64_t>(at)), "value") == 0) selref = at;
    ASSERT_NE(selref, 0u);
    ASSERT_EQ(PlacedObjC::at<uint32_t>(list + 4), 1u);
    PlacedObjC::at<uint32_t>(list) = 12 | (1u << 31);
    PlacedObjC::at<int32_t>(list + 8) = static_cast<int32_t>(selref - (list + 8));
    PlacedObjC::at<int32_t>(list + 16) = static_cast<int32_t>(derivedValue - (list + 16));
    EXPECT_EQ(name(), "-[Derived value]");

    // Renamed away, the category list is absent.
    std::string_view commands(reinterpret_cast<const char*>(placed.image()->macho.header_addr), 4096);
    const size_t catlist = commands.find("__objc_catlist");
    ASSERT_NE(catlist, std::string::npos);
    PlacedObjC::at<char>(placed.image()->macho.header_addr + catlist + 13) = 'X';
    const Found found = lookup(placed.image(), OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, methods.begin()->first);
    EXPECT_EQ(found.error, OBCRASH_OK);
    EXPECT_EQ(found.name, "+[Base make]");
}

// Metadata that points outside its sections ends the walk with OBCRASH_INVALID_DATA, never a fault;
// the symbol table still names the pc.
TEST(Symbolication, ObjCMetadataPointingOutsideItsSectionsIsInvalid) {
    PlacedObjC placed(kObjC, true);
    ASSERT_TRUE(placed.ok());
    const uint64_t text = placed.section("__text");
    const uint64_t classlist = placed.section("__objc_classlist");
    const uint64_t base = PlacedObjC::at<uint64_t>(classlist);
    const uint64_t baseRo = PlacedObjC::at<uint64_t>(base + 32);
    const uint64_t category = PlacedObjC::at<uint64_t>(placed.section("__objc_catlist"));
    const uint64_t methods = PlacedObjC::at<uint64_t>(baseRo + 32);
    const uint64_t unmapped = 0x10;

    struct Damage {
        const char* what;
        uint64_t address;
        uint64_t value;
    };
    const std::vector<Damage> damages = {
        {"class pointer into code", classlist, text},
        {"class pointer to nowhere", classlist, unmapped},
        {"class data into code", base + 32, text},
        {"class data to nowhere", base + 32, unmapped},
        {"method list into code", baseRo + 32, text},
        {"method count past the section", methods, (uint64_t{0x7fffffff} << 32) | 24},
        {"category into code", placed.section("__objc_catlist"), text},
        {"category class to nowhere", category + 8, unmapped},
        {"metaclass into code", base, text},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        uint64_t& field = PlacedObjC::at<uint64_t>(damage.address);
        const uint64_t original = field;
        field = damage.value;
        obcrash_async_objc_cache_t cache;
        obcrash_async_objc_cache_init(&cache);
        EXPECT_EQ(obcrash_async_objc_find_method(
                      &placed.image()->macho, &cache, text + 0x20,
                      [](bool, obcrash_async_macho_string_t*, obcrash_async_macho_string_t*, ob_vm_address_t, void*) {},
                      nullptr),
                  OBCRASH_INVALID_DATA);
        obcrash_async_objc_cache_free(&cache);
        EXPECT_EQ(lookup(placed.image(), OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, text + 0x20).error, OBCRASH_NOT_FOUND);
        EXPECT_EQ(lookup(placed.image(), OBCRASH_ASYNC_SYMBOL_STRATEGY_ALL, text + 0x20).error, OBCRASH_OK);
        field = original;
    }
}

struct ElfLibrary {
    std::string path;
    obcrash_async_image_t image{};
    bool found = false;
};

// The loaded object whose file name ends in `suffix`, as the image list records it.
bool loadedElf(const std::string& suffix, ElfLibrary* library) {
    library->path = suffix;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* context) {
            auto* lib = static_cast<ElfLibrary*>(context);
            const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (lib->found || name.size() < lib->path.size() ||
                name.compare(name.size() - lib->path.size(), lib->path.size(), lib->path) != 0)
                return 0;
            lib->image.kind = OBCRASH_IMAGE_ELF;
            lib->found = obcrash_nasync_elf_init(&lib->image.elf, ob_mach_task_self(), info, nullptr) == OBCRASH_OK;
            lib->path = name;
            return 0;
        },
        library);
    return library->found;
}

// A pc inside each function of a library gives a name that `nm -D` lists at the function's start:
// a fixture library of our own, and the C library with its aliases, versions and indirect functions.
TEST(Symbolication, ElfFunctionsAreNamedAsNmListsThem) {
    void* handle = dlopen(OBCRASH_FRAMES_LIBRARY, RTLD_NOW);
    ASSERT_NE(handle, nullptr);
    for (const std::string& suffix : {std::string("libcrashreporter_frames.so"), std::string("/libc.so.6")}) {
        ElfLibrary library;
        ASSERT_TRUE(loadedElf(suffix, &library)) << suffix;
        SCOPED_TRACE(library.path);
        struct Function {
            uint64_t size = 0;
            std::set<std::string> names;
        };
        std::map<uint64_t, Function> functions;
        std::istringstream lines(run({"nm", "-D", "-S", "--defined-only", library.path}));
        std::string line;
        std::smatch m;
        while (std::getline(lines, line)) {
            if (!std::regex_match(line, m, std::regex(R"(^([0-9a-f]+) ([0-9a-f]+) [TtWi] ([^@\s]+).*)"))) continue;
            Function& f = functions[std::stoull(m[1], nullptr, 16)];
            f.size = std::max<uint64_t>(f.size, std::stoull(m[2], nullptr, 16));
            f.names.insert(m[3]);
        }
        ASSERT_GE(functions.size(), 4u);
        for (const auto& [start, function] : functions) {
            if (function.size == 0) continue;
            const uint64_t address = library.image.elf.load_bias + start;
            const Found found =
                lookup(&library.image, OBCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, address + function.size / 2);
            ASSERT_EQ(found.error, OBCRASH_OK) << *function.names.begin();
            EXPECT_EQ(found.address, address);
            EXPECT_TRUE(function.names.count(found.name)) << found.name << " for " << *function.names.begin();
        }
        EXPECT_EQ(lookup(&library.image, OBCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, library.image.elf.load_bias).error,
                  OBCRASH_NOT_FOUND);
        obcrash_nasync_elf_free(&library.image.elf);
    }
    dlclose(handle);
}

}  // namespace
