#include "support/ProbedWindow.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <unistd.h>

#include "Shared/Views/ItemProbe.h"
#include "support/SablixSession.h"

namespace e2e {
namespace {
// Two desktops in one test each have a probe file of their own.
std::atomic<int> probeFiles{0};
}  // namespace

ProbedWindow::ProbedWindow(std::string display)
    : display_(std::move(display)),
      file_(std::filesystem::temp_directory_path() /
            ("sablix-probe-" + std::to_string(::getpid()) + "-" + std::to_string(++probeFiles) + ".json")) {
    ::setenv(sablix::ItemProbe::kVariable, file_.c_str(), 1);
}

ProbedWindow::~ProbedWindow() {
    ::unsetenv(sablix::ItemProbe::kVariable);
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
}

std::vector<ProbedItem> ProbedWindow::probe() const {
    QFile file(QString::fromStdString(file_.string()));
    if (!file.open(QIODevice::ReadOnly)) return {};
    std::vector<ProbedItem> items;
    for (const auto& value : QJsonDocument::fromJson(file.readAll()).array()) {
        const QJsonObject o = value.toObject();
        // A scrolled or scaled item sits between pixels, where toInt() would read 0.
        const auto pixels = [&](const char* key) { return qRound(o[key].toDouble()); };
        items.push_back({o["name"].toString().toStdString(), pixels("x"), pixels("y"), pixels("width"),
                         pixels("height"), o["enabled"].toBool(), o["moving"].toBool(),
                         o["text"].toString().toStdString()});
    }
    return items;
}

std::optional<ProbedItem> ProbedWindow::maybe(const std::string& name) const {
    for (auto& item : probe())
        if (item.name == name && item.width > 0 && item.height > 0) return item;
    return std::nullopt;
}

bool ProbedWindow::shows(const std::string& name) const {
    return waitUntil([&] { return maybe(name).has_value(); }, 10000);
}

bool ProbedWindow::shows(const std::string& name, const std::string& text) const {
    return waitUntil(
        [&] {
            const auto found = maybe(name);
            return found && found->text == text;
        },
        10000);
}

bool ProbedWindow::click(const std::string& name, const char* button) const {
    // Only two different writes of the probe that agree tell that the item stopped moving: a busy
    // application rewrites the file late, and one write read twice still shows a sheet where it
    // was before the window manager placed it, or a list before its scrolling ended.
    std::optional<ProbedItem> target, before;
    std::optional<std::filesystem::file_time_type> written;
    const bool settled = waitUntil(
        [&] {
            std::error_code failed;
            const auto writtenNow = std::filesystem::last_write_time(file_, failed);
            std::optional<ProbedItem> found = maybe(name);
            if (failed || writtenNow == written || std::filesystem::last_write_time(file_, failed) != writtenNow) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                return false;
            }
            written = writtenNow;
            before = target;
            target = std::move(found);
            return target && target->enabled && !target->moving && before && target->x == before->x &&
                   target->y == before->y;
        },
        10000);
    if (!settled) return false;
    const std::string x = std::to_string(target->x + target->width / 2);
    const std::string y = std::to_string(target->y + target->height / 2);
    // --sync waits for ever when the pointer is there already.
    const std::string location = runOn(display_, {"xdotool", "getmouselocation", "--shell"});
    std::vector<std::string> argv{"xdotool", "mousemove"};
    if (location.find("X=" + x + "\nY=" + y + "\n") == std::string::npos) argv.push_back("--sync");
    argv.insert(argv.end(), {x, y, "click", button});
    int code = -1;
    runOn(display_, argv, &code);
    return code == 0;
}

}  // namespace e2e
