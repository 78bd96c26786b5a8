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

std::optional<ProbedItem> ProbedWindow::settled(const std::string& name) const {
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
            return target && !target->moving && before && target->x == before->x && target->y == before->y;
        },
        10000);
    return settled ? target : std::nullopt;
}

bool ProbedWindow::scrollDownTo(const std::string& item, const std::string& view) const {
    // Where the window manager put it: the wheel turns what is under the pointer.
    const auto area = settled(view);
    if (!area) return false;
    pointAt(area->x + area->width / 2, area->y + area->height / 2, {});
    // One turn at a time, the next once the view has taken the last one in: turns sent ahead of a
    // busy window would scroll it on after the item is seen in place.
    std::optional<int> scrolledFrom;
    return waitUntil(
        [&] {
            const auto found = maybe(item);
            if (!found) return false;
            if (found->y + found->height <= area->y + area->height) return true;
            if (found->moving || scrolledFrom == found->y) return false;
            scrolledFrom = found->y;
            runOn(display_, {"xdotool", "click", "5"});
            return false;
        },
        20000);
}

bool ProbedWindow::click(const std::string& name, const char* button) const {
    std::optional<ProbedItem> target;
    const bool settled = waitUntil(
        [&] {
            target = this->settled(name);
            return target && target->enabled;
        },
        10000);
    if (!settled) return false;
    return pointAt(target->x + target->width / 2, target->y + target->height / 2, {"click", button});
}

bool ProbedWindow::pointAt(int x, int y, const std::vector<std::string>& then) const {
    const std::string column = std::to_string(x), row = std::to_string(y);
    // --sync waits for ever when the pointer is there already.
    const std::string location = runOn(display_, {"xdotool", "getmouselocation", "--shell"});
    std::vector<std::string> argv{"xdotool", "mousemove"};
    if (location.find("X=" + column + "\nY=" + row + "\n") == std::string::npos) argv.push_back("--sync");
    argv.insert(argv.end(), {column, row});
    argv.insert(argv.end(), then.begin(), then.end());
    int code = -1;
    runOn(display_, argv, &code);
    return code == 0;
}

}  // namespace e2e
