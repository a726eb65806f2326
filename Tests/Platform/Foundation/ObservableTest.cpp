#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Observable.h"

using namespace foundation;

namespace {

class Engine : public Observable {
public:
    int power() const { return m_power; }
    void setPower(int power)
    {
        willChange("power");
        m_power = power;
        didChange("power");
    }

    const KeyTable& observableKeys() const override
    {
        static const KeyTable keys = KeyTable().key("power", &Engine::power, &Engine::setPower);
        return keys;
    }

private:
    int m_power = 100;
};

class Car : public Observable {
public:
    double speed() const { return m_speed; }
    void setSpeed(double speed)
    {
        willChange("speed");
        m_speed = std::min(speed, 200.0); // the setter may adjust what it is given
        didChange("speed");
    }
    std::shared_ptr<Engine> engine() const { return m_engine; }
    void setEngine(std::shared_ptr<Engine> engine)
    {
        willChange("engine");
        m_engine = std::move(engine);
        didChange("engine");
    }
    // Derived from speed and the engine's power.
    std::string summary() const
    {
        return std::to_string(static_cast<int>(m_speed)) + "/" + (m_engine ? std::to_string(m_engine->power()) : "-");
    }

    const KeyTable& observableKeys() const override
    {
        static const KeyTable keys = KeyTable()
                                         .key("speed", &Car::speed, &Car::setSpeed)
                                         .key("engine", &Car::engine, &Car::setEngine)
                                         .key("summary", &Car::summary)
                                         .affecting("summary", { "speed", "engine.power" });
        return keys;
    }

private:
    double m_speed = 1;
    std::shared_ptr<Engine> m_engine = std::make_shared<Engine>();
};

// Renders a change as text so a sequence of notifications compares as a list of strings.
template <class T> std::string describe(const KeyValueChange& change)
{
    std::ostringstream out;
    out << (change.isPrior ? "prior" : "change");
    if (const T* v = change.oldAs<T>())
        out << " old=" << *v;
    if (const T* v = change.newAs<T>())
        out << " new=" << *v;
    return out.str();
}

} // namespace

TEST(Observable, OptionsDecideWhatEachNotificationCarries)
{
    struct Case {
        unsigned options;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        { KeyValueObservingOptionNew, { "change new=5" } },
        { KeyValueObservingOptionOld, { "change old=1" } },
        { KeyValueObservingOptionNew | KeyValueObservingOptionOld, { "change old=1 new=5" } },
        { KeyValueObservingOptionPrior | KeyValueObservingOptionOld | KeyValueObservingOptionNew,
          { "prior old=1", "change old=1 new=5" } },
        { KeyValueObservingOptionInitial | KeyValueObservingOptionNew, { "change new=1", "change new=5" } },
        { 0, { "change" } },
    };
    for (const auto& c : cases) {
        Car car;
        std::vector<std::string> seen;
        auto token = car.addObserver("speed", c.options, [&](const KeyValueChange& change) {
            seen.push_back(describe<double>(change));
        });
        car.setSpeed(5);
        EXPECT_EQ(seen, c.expected) << "options " << c.options;
    }
}

TEST(Observable, ChangeCarriesKeyPathObjectAndContext)
{
    Car car;
    int context = 0;
    KeyValueChange last;
    auto token = car.addObserver("speed", KeyValueObservingOptionNew, &context, [&](const KeyValueChange& c) { last = c; });
    car.setSpeed(3);
    EXPECT_EQ(last.keyPath, "speed");
    EXPECT_EQ(last.object, &car);
    EXPECT_EQ(last.context, &context);
    EXPECT_EQ(last.kind, KeyValueChangeKind::Setting);
}

TEST(Observable, DependentKeyIsNotifiedByEachKeyPathAffectingIt)
{
    Car car;
    std::vector<std::string> seen;
    auto token = car.addObserver("summary", KeyValueObservingOptionOld | KeyValueObservingOptionNew,
                                 [&](const KeyValueChange& c) {
                                     seen.push_back(*c.oldAs<std::string>() + " -> " + *c.newAs<std::string>());
                                 });
    car.setSpeed(50);
    car.engine()->setPower(120);
    auto replacement = std::make_shared<Engine>();
    replacement->setPower(300);
    car.setEngine(replacement);
    replacement->setPower(310);
    EXPECT_EQ(seen, (std::vector<std::string> { "1/100 -> 50/100", "50/100 -> 50/120", "50/120 -> 50/300",
                                                "50/300 -> 50/310" }));
}

TEST(Observable, KeyPathFollowsReplacedIntermediate)
{
    Car car;
    auto first = car.engine();
    std::vector<std::string> seen;
    auto token = car.addObserver("engine.power", KeyValueObservingOptionOld | KeyValueObservingOptionNew,
                                 [&](const KeyValueChange& c) { seen.push_back(describe<int>(c)); });

    first->setPower(110);
    auto second = std::make_shared<Engine>();
    second->setPower(200);
    car.setEngine(second);
    first->setPower(999); // no longer on the path
    second->setPower(210);
    car.setEngine(nullptr);
    second->setPower(220);

    EXPECT_EQ(seen, (std::vector<std::string> { "change old=100 new=110", "change old=110 new=200",
                                                "change old=200 new=210", "change old=210" }));
}

TEST(Observable, DestroyedTokenStopsNotifications)
{
    Car car;
    int calls = 0;
    {
        auto token = car.addObserver("speed", 0, [&](const KeyValueChange&) { ++calls; });
        car.setSpeed(2);
    }
    car.setSpeed(3);
    auto token = car.addObserver("engine.power", 0, [&](const KeyValueChange&) { ++calls; });
    token.remove();
    car.engine()->setPower(1);
    EXPECT_EQ(calls, 1);
}

TEST(Observable, ObserverMayRemoveItselfOrOthersDuringANotification)
{
    Car car;
    std::vector<std::string> calls;
    Observable::Token second;
    Observable::Token first = car.addObserver("speed", KeyValueObservingOptionPrior, [&](const KeyValueChange& c) {
        calls.push_back(c.isPrior ? "first prior" : "first");
        if (!c.isPrior) {
            first.remove();
            second.remove();
        }
    });
    second = car.addObserver("speed", 0, [&](const KeyValueChange&) { calls.push_back("second"); });
    car.setSpeed(2);
    car.setSpeed(3);
    EXPECT_EQ(calls, (std::vector<std::string> { "first prior", "first" }));
}

TEST(Observable, ObserverAddedInsideAChangeMissesItsEnd)
{
    Car car;
    int calls = 0;
    car.willChange("speed");
    auto token = car.addObserver("speed", 0, [&](const KeyValueChange&) { ++calls; });
    car.didChange("speed");
    EXPECT_EQ(calls, 0);
    car.setSpeed(4);
    EXPECT_EQ(calls, 1);
}

TEST(Observable, NestedChangesPairOldValuesWithTheirOwnChange)
{
    Car car;
    std::vector<std::string> seen;
    auto speedToken = car.addObserver("speed", KeyValueObservingOptionOld | KeyValueObservingOptionNew,
                                      [&](const KeyValueChange& c) { seen.push_back("speed " + describe<double>(c)); });
    auto powerToken = car.addObserver("engine.power", KeyValueObservingOptionOld | KeyValueObservingOptionNew,
                                      [&](const KeyValueChange& c) { seen.push_back("power " + describe<int>(c)); });
    // A setter that changes a second key inside its own change bracket.
    car.willChange("speed");
    car.engine()->setPower(150);
    car.didChange("speed");
    EXPECT_EQ(seen, (std::vector<std::string> { "power change old=100 new=150", "speed change old=1 new=1" }));
}

TEST(Observable, TokenOutlivingTheObjectIsHarmless)
{
    Observable::Token token;
    {
        auto car = std::make_shared<Car>();
        token = car->addObserver("engine.power", 0, [](const KeyValueChange&) { });
    }
    token.remove();
    SUCCEED();
}

TEST(Observable, CyclicDependentKeysNotifyOnce)
{
    class Loop : public Observable {
    public:
        int a() const { return 0; }
        const KeyTable& observableKeys() const override
        {
            static const KeyTable keys = KeyTable()
                                             .key("a", &Loop::a)
                                             .key("b", &Loop::a)
                                             .affecting("a", { "b" })
                                             .affecting("b", { "a" });
            return keys;
        }
    };
    Loop loop;
    int calls = 0;
    auto token = loop.addObserver("a", 0, [&](const KeyValueChange&) { ++calls; });
    loop.willChange("b");
    loop.didChange("b");
    EXPECT_EQ(calls, 1);
}

TEST(Observable, KeyValueCodingThroughTheKeyTable)
{
    Car car;
    car.setValueForKeyPath("engine.power", 7.9); // a control's double into an int property
    EXPECT_EQ(car.engine()->power(), 7);
    car.setValueForKey("speed", 42);
    EXPECT_EQ(std::any_cast<double>(car.valueForKey("speed")), 42.0);
    EXPECT_EQ(std::any_cast<int>(car.valueForKeyPath("engine.power")), 7);

    for (const char* key : { "nosuchkey", "summary" }) {
        try {
            car.setValueForKey(key, 1);
            ADD_FAILURE() << key << " should not be settable";
        } catch (const Exception& e) {
            EXPECT_EQ(e.name(), NSUndefinedKeyException);
        }
    }
    EXPECT_THROW(car.valueForKey("nosuchkey"), Exception);
    EXPECT_THROW(car.setValueForKey("speed", std::string("fast")), std::bad_any_cast);
    car.setEngine(nullptr);
    EXPECT_FALSE(car.valueForKeyPath("engine.power").has_value());
}

TEST(Observable, ConcurrentRegistrationWhileChanging)
{
    auto car = std::make_shared<Car>();
    std::atomic<bool> stop { false };
    std::atomic<int> calls { 0 };
    std::thread changer([&] {
        for (int i = 0; i < 2000 && !stop; ++i)
            car->engine()->setPower(i);
    });
    std::vector<std::thread> observers;
    for (int t = 0; t < 3; ++t) {
        observers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto token = car->addObserver(i % 2 ? "engine.power" : "summary", KeyValueObservingOptionNew,
                                              [&](const KeyValueChange&) { ++calls; });
            }
        });
    }
    for (auto& t : observers)
        t.join();
    stop = true;
    changer.join();
    int after = 0;
    auto token = car->addObserver("engine.power", 0, [&](const KeyValueChange&) { ++after; });
    car->engine()->setPower(-1);
    EXPECT_EQ(after, 1);
}
