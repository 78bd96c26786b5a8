#pragma once
#include <chrono>
#include <memory>

#include "Expansion/TextReplacer.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeFillInPresenter.h"
#include "support/FakeKeyLayout.h"
#include "support/FakeKeyPoster.h"
#include "support/FakeKeyTap.h"
#include "support/FakeKeyboardGrab.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"

// The expansion engine on fakes for everything but the store it reads the library from.
struct EngineOnFakes {
    EngineOnFakes(platform::Defaults& defaults, const platform::Clock& clock,
                  sablix::TextReplacer::TeamSnippetLoader loader, sablix::SnippetLibraryCache* libraryCache,
                  sablix::HopObserver* hops = nullptr) {
        workspace.setFrontmost(testsupport::FakeWorkspace::application(1000, "Editor"));
        replacer = std::make_unique<sablix::TextReplacer>(sablix::TextReplacer::Collaborators{
            .makeTap = taps.factory(),
            .keyLayout = layout,
            .keyPoster = poster,
            .keyboardGrab = keyboardGrab,
            .pasteboard = pasteboard,
            .primarySelection = primarySelection,
            .workspace = workspace,
            .accessibility = accessibility,
            .defaults = defaults,
            .loadTeamSnippets = std::move(loader),
            .analytics = analytics,
            .fillInController = fillIn,
            .clock = clock,
            .ownProcessIdentifier = 4242,
            .sleep = [](std::chrono::milliseconds) {},
            .restoreTimer = nullptr,
            .libraryCache = libraryCache,
            .hops = hops,
        });
    }

    testsupport::FakeKeyTapFactory taps;
    testsupport::FakeKeyLayout layout;
    testsupport::FakeKeyPoster poster;
    testsupport::FakeKeyboardGrab keyboardGrab;
    testsupport::FakePasteboard pasteboard;
    testsupport::FakePasteboard primarySelection;
    testsupport::FakeWorkspace workspace;
    testsupport::FakeAccessibility accessibility;
    testsupport::FakeAnalyticsTracking analytics;
    testsupport::FakeFillInPresenter fillIn;
    std::unique_ptr<sablix::TextReplacer> replacer;
};
