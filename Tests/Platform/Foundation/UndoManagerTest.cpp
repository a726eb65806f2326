#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/UndoManager.h"

using namespace foundation;

namespace {

// A document whose setter registers its own undo, as model objects do.
class Document : public std::enable_shared_from_this<Document> {
public:
    explicit Document(std::shared_ptr<UndoManager> undo) : m_undo(std::move(undo)) { }
    int value() const { return m_value; }
    void setValue(int value)
    {
        const int old = m_value;
        m_value = value;
        m_undo->registerUndo<Document>(shared_from_this(), [old](Document& d) { d.setValue(old); });
    }

private:
    std::shared_ptr<UndoManager> m_undo;
    int m_value = 0;
};

struct UndoManagerTest : ::testing::Test {
    std::shared_ptr<UndoManager> undo = UndoManager::init();
    std::shared_ptr<Document> doc = std::make_shared<Document>(undo);

    // One explicit group holding `values` set in order.
    void change(std::initializer_list<int> values, const std::string& name = {})
    {
        undo->beginUndoGrouping();
        for (int v : values)
            doc->setValue(v);
        if (!name.empty())
            undo->setActionName(name);
        undo->endUndoGrouping();
    }
};

} // namespace

TEST_F(UndoManagerTest, GroupsPerRunLoopTurnAndRedo)
{
    auto& loop = dispatch::RunLoop::main();
    int turns = 0;
    loop.perform([&] {
        doc->setValue(1);
        doc->setValue(2);
        ++turns;
    });
    loop.perform([&] { loop.perform([&] { doc->setValue(3); ++turns; }); });
    ASSERT_TRUE(loop.runUntil([&] { return turns == 2; }, 5));
    EXPECT_EQ(undo->groupingLevel(), 0);

    undo->undo();
    EXPECT_EQ(doc->value(), 2);
    undo->undo();
    EXPECT_EQ(doc->value(), 0);
    EXPECT_FALSE(undo->canUndo());
    undo->redo();
    EXPECT_EQ(doc->value(), 2);
    undo->redo();
    EXPECT_EQ(doc->value(), 3);
    EXPECT_FALSE(undo->canRedo());
    undo->undo();
    EXPECT_EQ(doc->value(), 2);
}

TEST_F(UndoManagerTest, UndoClosesTheOpenEventGroupFirst)
{
    doc->setValue(5); // no run-loop turn has ended yet
    EXPECT_EQ(undo->groupingLevel(), 1);
    EXPECT_TRUE(undo->canUndo());
    undo->undo();
    EXPECT_EQ(doc->value(), 0);
    EXPECT_TRUE(undo->canRedo());
}

TEST_F(UndoManagerTest, NewChangeClearsRedoButChangesMadeByUndoDoNot)
{
    undo->setGroupsByEvent(false);
    change({ 1 });
    change({ 2 });
    undo->undo();
    EXPECT_TRUE(undo->canRedo());
    change({ 7 });
    EXPECT_FALSE(undo->canRedo());
    undo->undo();
    undo->undo();
    EXPECT_EQ(doc->value(), 0);
    undo->redo();
    EXPECT_TRUE(undo->canRedo()) << "redoing must not clear the rest of the redo stack";
    EXPECT_EQ(doc->value(), 1);
}

TEST_F(UndoManagerTest, ActionNamesAndMenuTitles)
{
    undo->setGroupsByEvent(false);
    EXPECT_EQ(undo->undoMenuItemTitle(), "Undo");
    EXPECT_EQ(undo->redoMenuItemTitle(), "Redo");
    change({ 1 }, "Trim Range Change");
    change({ 2 }); // unnamed
    EXPECT_EQ(undo->undoActionName(), "");
    undo->undo();
    EXPECT_EQ(undo->undoMenuItemTitle(), "Undo Trim Range Change");
    EXPECT_EQ(undo->redoMenuItemTitle(), "Redo");
    undo->undo();
    EXPECT_EQ(undo->redoActionName(), "Trim Range Change");
    EXPECT_EQ(undo->redoMenuItemTitle(), "Redo Trim Range Change");
    undo->redo();
    EXPECT_EQ(undo->undoActionName(), "Trim Range Change");
}

TEST_F(UndoManagerTest, NameSetBeforeTheRegistrationNamesTheTurnsGroup)
{
    undo->setActionName("FPS Change");
    doc->setValue(30);
    EXPECT_EQ(undo->undoActionName(), "FPS Change");
    undo->undo();
    EXPECT_EQ(undo->redoActionName(), "FPS Change");
}

TEST_F(UndoManagerTest, NestedGroupsUndoAsOneNewestFirst)
{
    undo->setGroupsByEvent(false);
    std::vector<std::string> order;
    int target = 0;
    undo->beginUndoGrouping();
    undo->registerUndo(&target, [&] { order.push_back("outer"); });
    undo->beginUndoGrouping();
    undo->registerUndo(&target, [&] { order.push_back("inner 1"); });
    undo->registerUndo(&target, [&] { order.push_back("inner 2"); });
    EXPECT_THROW(undo->undo(), Exception) << "undo with nested groups open";
    undo->endUndoGrouping();
    undo->endUndoGrouping();
    EXPECT_THROW(undo->endUndoGrouping(), Exception);
    undo->undo();
    EXPECT_EQ(order, (std::vector<std::string> { "inner 2", "inner 1", "outer" }));
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(UndoManagerTest, RegistrationWithoutAGroupIsAnError)
{
    undo->setGroupsByEvent(false);
    EXPECT_THROW(doc->setValue(1), Exception);
}

TEST_F(UndoManagerTest, DisablingIsCounted)
{
    undo->setGroupsByEvent(false);
    undo->disableUndoRegistration();
    undo->disableUndoRegistration();
    change({ 1 });
    undo->enableUndoRegistration();
    EXPECT_FALSE(undo->isUndoRegistrationEnabled());
    change({ 2 });
    undo->enableUndoRegistration();
    change({ 3 });
    EXPECT_THROW(undo->enableUndoRegistration(), Exception);
    undo->undo();
    EXPECT_EQ(doc->value(), 2);
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(UndoManagerTest, RemoveAllActionsWithTarget)
{
    undo->setGroupsByEvent(false);
    auto other = std::make_shared<Document>(undo);
    undo->beginUndoGrouping();
    doc->setValue(1);
    other->setValue(10);
    undo->endUndoGrouping();
    undo->beginUndoGrouping();
    other->setValue(20);
    undo->endUndoGrouping();

    undo->removeAllActionsWithTarget(other);
    undo->undo(); // the group that held only `other` is gone entirely
    EXPECT_EQ(doc->value(), 0);
    EXPECT_EQ(other->value(), 20);
    EXPECT_FALSE(undo->canUndo());

    undo->redo();
    undo->removeAllActions();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_FALSE(undo->canRedo());
}

TEST_F(UndoManagerTest, ActionsOfAReleasedTargetAreSkipped)
{
    undo->setGroupsByEvent(false);
    change({ 1 });
    auto weak = std::weak_ptr<Document>(doc);
    doc.reset();
    ASSERT_TRUE(weak.expired());
    undo->undo();
    EXPECT_FALSE(undo->canRedo());
}

TEST_F(UndoManagerTest, LevelsOfUndoDropTheOldestGroups)
{
    undo->setGroupsByEvent(false);
    undo->setLevelsOfUndo(2);
    change({ 1 });
    change({ 2 });
    change({ 3 });
    undo->undo();
    undo->undo();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_EQ(doc->value(), 1);
}

TEST_F(UndoManagerTest, PostsCheckpointAndUndoRedoNotifications)
{
    undo->setGroupsByEvent(false);
    std::vector<std::string> names;
    std::vector<NotificationCenter::Token> tokens;
    for (const auto* name : { &NSUndoManagerCheckpointNotification, &NSUndoManagerDidUndoChangeNotification,
                              &NSUndoManagerDidRedoChangeNotification }) {
        tokens.push_back(NotificationCenter::defaultCenter().addObserver(
            *name, undo.get(), nullptr, [&](const Notification& n) { names.push_back(n.name); }));
    }
    change({ 1 });
    EXPECT_EQ(names, (std::vector<std::string> { "NSUndoManagerCheckpointNotification", "NSUndoManagerCheckpointNotification" }));
    names.clear();
    undo->undo();
    EXPECT_EQ(names.back(), "NSUndoManagerDidUndoChangeNotification");
    EXPECT_FALSE(undo->isUndoing());
    undo->redo();
    EXPECT_EQ(names.back(), "NSUndoManagerDidRedoChangeNotification");
}

TEST_F(UndoManagerTest, IsUndoingAndIsRedoingDuringTheActions)
{
    undo->setGroupsByEvent(false);
    std::vector<std::string> states;
    int target = 0;
    std::function<void()> record = [&] {
        states.push_back(undo->isUndoing() ? "undoing" : undo->isRedoing() ? "redoing" : "idle");
        undo->registerUndo(&target, record);
    };
    undo->beginUndoGrouping();
    undo->registerUndo(&target, record);
    undo->endUndoGrouping();
    undo->undo();
    undo->redo();
    EXPECT_EQ(states, (std::vector<std::string> { "undoing", "redoing" }));
    EXPECT_TRUE(undo->canUndo());
}
