#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sablix {

// Asks the user for the values of a snippet's fill-in fields.
class FillInPresenter {
public:
    // One entry per field name, each exactly as typed.
    using Values = std::map<std::string, std::string>;
    // Called once, on the main thread, after the dialog has closed and the application the user
    // was typing in is in front again: with the values on Insert, with none on Cancel.
    using Completion = std::function<void(std::optional<Values>)>;
    // Called once, on the main thread, when the dialog has the keyboard focus (or, should it never
    // get it, before the completion): keys typed from then on are the dialog's.
    using Focused = std::function<void()>;

    virtual ~FillInPresenter() = default;
    // May be called from any thread; returns at once.
    virtual void show(std::vector<std::string> fieldNames, Completion completion, Focused focused) = 0;
};

}  // namespace sablix
