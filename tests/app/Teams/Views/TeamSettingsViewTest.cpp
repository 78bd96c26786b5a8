// The team settings sheet for a signed-in member, over the real team service and the test
// backend, driven by clicks and keys. Inviting and deleting as the owner run end to end too.
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <set>

#include "Teams/TeamManager.h"
#include "support/ViewTest.h"
#include "Teams/Views/TeamSettingsPresenter.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"
#include "support/SignedInBackend.h"
#include "support/ModelsTestSupport.h"

using nlohmann::json;
using platform::Uuid;

namespace {

const Uuid kIlse = *Uuid::fromString("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9");
const Uuid kSupport = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");  // Rowan owns it, Ilse edits

class TeamSettingsViewTest : public viewtest::ViewTest, protected testsupport::SignedInBackend {
protected:
    // Rowan's sheet for "Support" once its members and Noor's invitation are in.
    void openSheet(const json& state) {
        ASSERT_TRUE(backend.start());
        backend.reset(state);
        pointAtBackend();
        teams.fetchTeams();
        ASSERT_TRUE(waitFor([&] { return teams.teams().size() == 2; }));
        teams.setSelectedTeamId(kSupport);
        ASSERT_TRUE(waitFor([&] { return teams.members().size() == 2 && teams.invitations().size() == 1; }));
        sheet.open();
        view = std::make_unique<QQuickView>();
        load(*view, "Teams/Views/TeamSettingsView.qml", &sheet, {500, 1400});
    }
    // Opens the picker and clicks the entry, as a user chooses a role.
    void choose(const QString& picker, const QString& entry) {
        click(picker);
        std::function<QQuickItem*(QQuickItem*)> entryIn = [&](QQuickItem* parent) -> QQuickItem* {
            if (parent->isVisible() && parent->inherits("QQuickAbstractButton") && parent->property("text") == entry)
                return parent;
            for (QQuickItem* child : parent->childItems())
                if (QQuickItem* found = entryIn(child)) return found;
            return nullptr;
        };
        QQuickItem* found = nullptr;
        ASSERT_TRUE(waitFor([&] { return (found = entryIn(window()->contentItem())) != nullptr; }, 5000));
        QTest::mouseClick(window(), Qt::LeftButton, {}, found->mapToScene(found->boundingRect().center()).toPoint());
    }
    std::string shownRole(const QString& picker) {
        return item(picker)->property("currentText").toString().toStdString();
    }

    // Every enabled text of the sheet as drawn, against what lies behind it (the colour most of its
    // box shows): WCAG AA asks 4.5:1 (disabled controls are exempt). Answers the texts seen.
    std::set<QString> expectEveryTextReadable() {
        const QImage drawn = view->grabWindow();
        const auto luminance = [](const QColor& c) {
            const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
            return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
        };
        std::set<QString> seen;
        std::function<void(QQuickItem*, double)> visit = [&](QQuickItem* item, double opacity) {
            if (!item->isVisible() || !item->isEnabled()) return;
            opacity *= item->opacity();
            const QString text = item->property("text").toString();
            const QRect box = item->mapRectToScene(item->boundingRect()).toAlignedRect() & drawn.rect();
            if ((item->inherits("QQuickText") || item->inherits("QQuickTextInput") ||
                 item->inherits("QQuickTextEdit")) &&
                !text.trimmed().isEmpty() && !box.isEmpty()) {
                seen.insert(text);
                std::map<QRgb, int> counts;
                for (int y = box.top(); y <= box.bottom(); ++y)
                    for (int x = box.left(); x <= box.right(); ++x) ++counts[drawn.pixel(x, y)];
                const QColor behind(std::ranges::max_element(counts, {}, &std::pair<const QRgb, int>::second)->first);
                const QColor declared = item->property("color").value<QColor>();
                const double a = declared.alphaF() * opacity;
                const QColor shown = QColor::fromRgbF(declared.redF() * a + behind.redF() * (1 - a),
                                                      declared.greenF() * a + behind.greenF() * (1 - a),
                                                      declared.blueF() * a + behind.blueF() * (1 - a));
                const double lighter = std::max(luminance(shown), luminance(behind));
                const double darker = std::min(luminance(shown), luminance(behind));
                EXPECT_GE((lighter + 0.05) / (darker + 0.05), 4.5)
                    << text.toStdString() << ": " << shown.name().toStdString() << " on "
                    << behind.name().toStdString();
            }
            for (QQuickItem* child : item->childItems()) visit(child, opacity);
        };
        visit(view->contentItem(), 1.0);
        return seen;
    }

    // Reloads an action started end here, as at quit, before the managers go.
    void TearDown() override { client.cancelAll(); }
    QQuickWindow* window() override { return view.get(); }

    testsupport::FakePasteboard pasteboard;
    sablix::TeamSettingsPresenter sheet{teams, pasteboard};
    std::unique_ptr<QQuickView> view;
};

}  // namespace

TEST_F(TeamSettingsViewTest, TheOwnerInvitesCopiesTheLinkAndManagesEveryoneButThemselves) {
    openSheet(fixture());
    EXPECT_TRUE(shows("deleteTeamButton"));
    EXPECT_FALSE(shows("leaveTeamButton"));
    EXPECT_TRUE(shows("rolePicker_ilse@example.com") && shows("removeMember_ilse@example.com"));
    EXPECT_FALSE(shows("rolePicker_rowan@example.com") || shows("removeMember_rowan@example.com"));

    typeInto("inviteEmailField", "kai@example.com");
    click("inviteButton");
    item("invitationSentLabel");
    item("invitationRow_kai@example.com");  // shown as pending, beside Noor's
    EXPECT_EQ(text("inviteEmailField"), "");

    click("copyLinkButton");
    const std::string link = pasteboard.string().value_or("");
    EXPECT_TRUE(link.starts_with(sablix::TeamSettingsPresenter::kInviteLinkPrefix)) << link;
    EXPECT_GT(link.size(), std::string(sablix::TeamSettingsPresenter::kInviteLinkPrefix).size());
}

TEST_F(TeamSettingsViewTest, AnAdminLeavesRatherThanDeletesAndCannotTouchTheOwner) {
    json adminFixture = fixture();
    auto& members = adminFixture["teams"]["teams"][0]["members"];
    members[0]["role"] = "admin";  // Rowan
    members[1]["role"] = "owner";  // Ilse
    openSheet(adminFixture);
    EXPECT_TRUE(shows("leaveTeamButton"));
    EXPECT_FALSE(shows("deleteTeamButton"));
    EXPECT_TRUE(shows("roleBadge_ilse@example.com"));
    EXPECT_FALSE(shows("rolePicker_ilse@example.com") || shows("removeMember_ilse@example.com"));
    for (const QVariant& choice : sheet.roleChoices()) EXPECT_NE(choice.toMap().value("value"), "admin");
}

TEST_F(TeamSettingsViewTest, RolePickersShowTheStoredRoleAndGoBackToItWhenAChangeIsRefused) {
    openSheet(fixture());
    const QString picker = "rolePicker_ilse@example.com";
    EXPECT_EQ(shownRole(picker), "Editor");
    EXPECT_EQ(shownRole("inviteRolePicker"), "Viewer");
    choose("inviteRolePicker", "Admin");
    EXPECT_EQ(shownRole("inviteRolePicker"), "Admin");

    choose(picker, "Viewer");
    EXPECT_TRUE(waitFor([&] { return teams.members().at(1).role == sablix::TeamRole::viewer; }));
    EXPECT_EQ(shownRole(picker), "Viewer");

    const std::string route = sablix::APIEndpoint::teamMember(kSupport, kIlse).path();
    backend.fail(route, 403, R"({"error":"Only owners and admins can manage members"})");
    choose(picker, "Admin");
    EXPECT_TRUE(waitFor([&] {
        return std::ranges::count_if(backend.log(), [&](const auto& r) { return r.path == route; }) == 2 &&
               shownRole(picker) == "Viewer";
    }));
}

TEST_F(TeamSettingsViewTest, EveryTextReadsAgainstItsBackground) {
    openSheet(fixture());
    typeInto("inviteEmailField", "kai@example.com");
    click("inviteButton");
    item("invitationSentLabel");
    click("saveChangesButton");
    item("savedLabel");
    const std::set<QString> seen = expectEveryTextReadable();
    for (const char* text : {"ilse@example.com", "Owner", "Pending", "Viewer", "Invitation sent!", "Saved!"})
        EXPECT_TRUE(seen.contains(text)) << text;

    backend.stop();
    choose("rolePicker_ilse@example.com", "Viewer");
    ASSERT_TRUE(waitFor([&] { return !teams.errorMessageText().isEmpty(); }));
    EXPECT_TRUE(expectEveryTextReadable().contains(teams.errorMessageText()));
}
