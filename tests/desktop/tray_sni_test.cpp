#include "desktop/tray_sni.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <memory>
#include <vector>

using namespace platform;

namespace {

using testing_support::WaitUntil;

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// A session bus of the test's own.
class PrivateBus {
public:
    PrivateBus() {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() || !dir_.isValid())
            return;
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                       QStringLiteral("--print-address=1"), QStringLiteral("--address=unix:dir=") + dir_.path()});
        QDeadlineTimer deadline(10000);
        while (!daemon_.canReadLine() && !deadline.hasExpired()) daemon_.waitForReadyRead(100);
        address = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon_.terminate();
        daemon_.waitForFinished(5000);
    }
    QDBusConnection Connect(const QString& name) const { return QDBusConnection::connectToBus(address, name); }

    QString address;

private:
    QTemporaryDir dir_;
    QProcess daemon_;
};

// A watcher that holds every call until the test answers it.
class HeldWatcher final : public QDBusVirtualObject {
public:
    explicit HeldWatcher(const PrivateBus& bus) : connection(bus.Connect(QStringLiteral("held-watcher"))) {}
    ~HeldWatcher() override { QDBusConnection::disconnectFromBus(QStringLiteral("held-watcher")); }

    bool Start() {
        return connection.registerVirtualObject(kWatcherPath, this) &&
               connection.interface()->registerService(kWatcher).value() == QDBusConnectionInterface::ServiceRegistered;
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        message.setDelayedReply(true);
        calls.push_back(message);
        return true;
    }
    QString introspect(const QString&) const override { return QString(); }

    void Answer(std::size_t call, bool hostRegistered) {
        connection.send(calls.at(call).createReply(QVariant::fromValue(QDBusVariant(hostRegistered))));
    }
    void Fail(std::size_t call, const QString& error) {
        connection.send(calls.at(call).createErrorReply(error, QStringLiteral("held watcher")));
    }
    void Announce(const char* signal) {
        connection.send(QDBusMessage::createSignal(kWatcherPath, kWatcher, QString::fromLatin1(signal)));
    }
    // Turns the event loop for a while: long enough for anything posted to run.
    static void Idle(int ms) {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    QDBusConnection connection;
    std::vector<QDBusMessage> calls;
};

// Only the watcher's answers count, only the latest question's, and silence
// leaves the last answer standing.
TEST(StatusNotifierHosts, FollowOnlyTheWatchersLatestAnswer) {
    PrivateBus bus;
    if (bus.address.isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    const QDBusConnection client = bus.Connect(QStringLiteral("hosts-client"));
    int changes = 0;
    StatusNotifierHosts hosts(client, [&] { ++changes; });
    HeldWatcher::Idle(100);
    EXPECT_TRUE(hosts.Watcher().isEmpty()) << "no watcher on the bus";

    HeldWatcher watcher(bus);
    ASSERT_TRUE(watcher.Start());
    const QString name = watcher.connection.baseService();
    // The watcher came: asked, and nothing decided until it answers.
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 1; }));
    EXPECT_EQ(watcher.calls[0].member(), QStringLiteral("Get"));
    EXPECT_EQ(watcher.calls[0].arguments().at(1).toString(), QStringLiteral("IsStatusNotifierHostRegistered"));
    watcher.Answer(0, true);
    ASSERT_TRUE(WaitUntil([&] { return hosts.Watcher() == name; }));
    EXPECT_EQ(changes, 1);

    // The host leaves: asked again; while the question is open the last
    // answer stands, however long the watcher takes (longer than the second
    // a watcher busy at log-in was once given).
    watcher.Announce("StatusNotifierHostUnregistered");
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 2; }));
    HeldWatcher::Idle(1200);
    EXPECT_EQ(hosts.Watcher(), name);
    // A later question overtakes it: the earlier answer, coming last, is stale.
    watcher.Announce("StatusNotifierHostRegistered");
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 3; }));
    watcher.Answer(2, false);
    ASSERT_TRUE(WaitUntil([&] { return hosts.Watcher().isEmpty(); }));
    watcher.Answer(1, true);
    HeldWatcher::Idle(200);
    EXPECT_TRUE(hosts.Watcher().isEmpty()) << "a stale answer was taken";
    EXPECT_EQ(changes, 2);

    // A question that ran out of time is asked again, not taken as "no host".
    watcher.Announce("StatusNotifierHostRegistered");
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 4; }));
    watcher.Fail(3, QStringLiteral("org.freedesktop.DBus.Error.NoReply"));
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 5; }));
    watcher.Answer(4, true);
    ASSERT_TRUE(WaitUntil([&] { return hosts.Watcher() == name; }));

    // The bus says the watcher left: no host, with no question to ask.
    watcher.connection.interface()->unregisterService(kWatcher);
    ASSERT_TRUE(WaitUntil([&] { return hosts.Watcher().isEmpty(); }));
    EXPECT_EQ(watcher.calls.size(), 5u);
    QDBusConnection::disconnectFromBus(QStringLiteral("hosts-client"));
}

// A watcher that fails every question at once with NoReply, as a broken one
// did: each question is asked again only after a pause, and a longer one
// each time, not at once for ever.
class NoReplyWatcher final : public QDBusVirtualObject {
public:
    explicit NoReplyWatcher(const PrivateBus& bus) : connection(bus.Connect(QStringLiteral("noreply-watcher"))) {
        clock.start();
    }
    ~NoReplyWatcher() override { QDBusConnection::disconnectFromBus(QStringLiteral("noreply-watcher")); }
    bool Start() {
        return connection.registerVirtualObject(kWatcherPath, this) &&
               connection.interface()->registerService(kWatcher).value() == QDBusConnectionInterface::ServiceRegistered;
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        asked.push_back(clock.elapsed());
        connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.NoReply"), QString()));
        return true;
    }
    QString introspect(const QString&) const override { return QString(); }

    QDBusConnection connection;
    QElapsedTimer clock;
    std::vector<qint64> asked;  // when each question came, in ms
};

TEST(StatusNotifierHosts, AWatcherThatNeverAnswersInTimeIsAskedAfterGrowingPauses) {
    PrivateBus bus;
    if (bus.address.isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    NoReplyWatcher watcher(bus);
    ASSERT_TRUE(watcher.Start());
    const QDBusConnection client = bus.Connect(QStringLiteral("noreply-client"));
    StatusNotifierHosts hosts(client, [] {});
    ASSERT_TRUE(WaitUntil([&] { return watcher.asked.size() >= 3; }, 30000));
    // About a second before the first repeat, and longer before the next
    // (Qt's coarse timers may fire a few per cent early, and the watcher
    // notes the times on its side of the bus).
    EXPECT_GE(watcher.asked[1] - watcher.asked[0], 900);
    EXPECT_GE(watcher.asked[2] - watcher.asked[1], 1800);
    EXPECT_LE(watcher.asked.size(), 4u) << "asked again without pausing";
    EXPECT_TRUE(hosts.Watcher().isEmpty());
    QDBusConnection::disconnectFromBus(QStringLiteral("noreply-client"));
}

struct Reported {
    std::vector<UINT> mouse;
    std::vector<UINT> commands;
    TrayIconReports Reports() {
        return {[this](UINT m) { mouse.push_back(m); }, [this](UINT c) { commands.push_back(c); }};
    }
};

QDBusMessage CallItem(const QDBusConnection& from, const QString& item, const QString& path, const QString& interface,
                      const QString& member, const QVariantList& args) {
    QDBusMessage call = QDBusMessage::createMethodCall(item, path, interface, member);
    call.setArguments(args);
    return from.call(call, QDBus::BlockWithGui, 5000);
}

TEST(StatusNotifierIcon, RegistersAnswersItsHostAndLeavesWithItsConnection) {
    PrivateBus bus;
    if (bus.address.isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    HeldWatcher watcher(bus);
    ASSERT_TRUE(watcher.Start());
    Reported reported;
    int refused = 0;
    std::unique_ptr<TrayIconView> icon = MakeStatusNotifierIcon(
        reported.Reports(), [&] { ++refused; }, bus.address);
    ASSERT_NE(icon, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 1; }));
    const QDBusMessage registration = watcher.calls[0];
    EXPECT_EQ(registration.member(), QStringLiteral("RegisterStatusNotifierItem"));
    const QString item = registration.arguments().at(0).toString();
    EXPECT_EQ(item, registration.service()) << "registered under its own connection's name";
    // Silence is no refusal; an error is.
    watcher.Fail(0, QStringLiteral("org.freedesktop.DBus.Error.NoReply"));
    HeldWatcher::Idle(200);
    EXPECT_EQ(refused, 0);

    icon->SetMenu({{"&Check", 7, true, true}, {"-", 8, false, true}, {"a_b", 9, false, false}});
    const QDBusMessage layout =
        CallItem(watcher.connection, item, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"),
                 QStringLiteral("GetLayout"), {0, -1, QStringList()});
    ASSERT_EQ(layout.type(), QDBusMessage::ReplyMessage) << layout.errorMessage().toStdString();
    std::vector<QVariantMap> entries;
    {
        const QDBusArgument root = qvariant_cast<QDBusArgument>(layout.arguments().at(1));
        qint32 id = 0;
        QVariantMap properties;
        root.beginStructure();
        root >> id >> properties;
        root.beginArray();
        while (!root.atEnd()) {
            QDBusVariant child;
            root >> child;
            const QDBusArgument entry = qvariant_cast<QDBusArgument>(child.variant());
            QVariantMap p;
            entry.beginStructure();
            entry >> id >> p;
            entry.endStructure();
            entries.push_back(p);
        }
        root.endArray();
        root.endStructure();
    }
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].value(QStringLiteral("label")).toString(), QStringLiteral("_Check"));
    EXPECT_EQ(entries[1].value(QStringLiteral("type")).toString(), QStringLiteral("separator"));
    EXPECT_EQ(entries[2].value(QStringLiteral("label")).toString(), QStringLiteral("a__b"));
    EXPECT_FALSE(entries[2].value(QStringLiteral("enabled")).toBool());

    const QString itemPath = QStringLiteral("/StatusNotifierItem");
    const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
    const QDBusMessage menuPath =
        CallItem(watcher.connection, item, itemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                 QStringLiteral("Get"), {itemInterface, QStringLiteral("Menu")});
    EXPECT_EQ(qvariant_cast<QDBusObjectPath>(qvariant_cast<QDBusVariant>(menuPath.arguments().at(0)).variant()).path(),
              QStringLiteral("/MenuBar"));
    for (const char* member : {"Activate", "ContextMenu", "SecondaryActivate"})
        CallItem(watcher.connection, item, itemPath, itemInterface, QString::fromLatin1(member), {0, 0});
    // Calls with other arguments than a method takes are refused as such and do nothing.
    for (const QVariantList& args : {QVariantList{}, QVariantList{QStringLiteral("x")}, QVariantList{0}}) {
        const QDBusMessage wrong =
            CallItem(watcher.connection, item, itemPath, itemInterface, QStringLiteral("Activate"), args);
        EXPECT_EQ(wrong.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs")) << args.size();
    }
    EXPECT_EQ(CallItem(watcher.connection, item, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"),
                       QStringLiteral("Event"), {1, QStringLiteral("clicked")})
                  .errorName(),
              QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
    // A million ids ask for no more than the menu holds.
    const QDBusMessage group =
        CallItem(watcher.connection, item, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"),
                 QStringLiteral("GetGroupProperties"),
                 {QVariant::fromValue(QList<int>(1000000, 1)), QVariant::fromValue(QStringList())});
    ASSERT_EQ(group.type(), QDBusMessage::ReplyMessage) << group.errorMessage().toStdString();
    {
        const QDBusArgument list = qvariant_cast<QDBusArgument>(group.arguments().at(0));
        std::vector<qint32> ids;
        list.beginArray();
        while (!list.atEnd()) {
            qint32 id = 0;
            QVariantMap p;
            list.beginStructure();
            list >> id >> p;
            list.endStructure();
            ids.push_back(id);
        }
        list.endArray();
        EXPECT_EQ(ids, std::vector<qint32>{1});
    }
    // Clicks on a disabled entry or a separator choose nothing.
    for (int id : {1, 2, 3})
        CallItem(watcher.connection, item, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"),
                 QStringLiteral("Event"), {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_EQ(reported.mouse, (std::vector<UINT>{WM_LBUTTONDOWN, NIN_SELECT})) << "ContextMenu got a second menu";
    EXPECT_EQ(reported.commands, std::vector<UINT>{7});

    // Without a menu the host is asked to let the program show its own.
    icon->SetMenu({});
    CallItem(watcher.connection, item, itemPath, itemInterface, QStringLiteral("ContextMenu"), {0, 0});
    EXPECT_EQ(reported.mouse.back(), WM_RBUTTONDOWN);

    icon.reset();
    ASSERT_TRUE(WaitUntil([&] { return !watcher.connection.interface()->isServiceRegistered(item).value(); }))
        << "the item stays on the bus after its icon is gone";

    // A watcher that refuses the item says so.
    icon = MakeStatusNotifierIcon(
        reported.Reports(), [&] { ++refused; }, bus.address);
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 2; }));
    watcher.Fail(1, QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    ASSERT_TRUE(WaitUntil([&] { return refused == 1; }));
}

// Hosts get every size the icon was drawn for, as drawn, and its name in the
// icon theme with the folder to find it in.
TEST(StatusNotifierIcon, OffersEveryDrawnSizeAndTheThemeIcon) {
    PrivateBus bus;
    if (bus.address.isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    HeldWatcher watcher(bus);
    ASSERT_TRUE(watcher.Start());
    Reported reported;
    std::unique_ptr<TrayIconView> icon = MakeStatusNotifierIcon(reported.Reports(), nullptr, bus.address);
    ASSERT_NE(icon, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return watcher.calls.size() == 1; }));
    const QString item = watcher.calls[0].arguments().at(0).toString();

    IconPictures pictures;
    for (int size : {16, 22, 24, 32, 44, 48, 256}) {
        QImage drawn(size, size, QImage::Format_ARGB32);
        drawn.fill(qRgba(size % 256, 1, 2, 200));
        drawn.setPixel(size - 1, 0, qRgba(9, 8, 7, 255));
        (size == 32 ? pictures.picture : pictures.sizes.emplace_back()) = drawn;
    }
    pictures.themeName = QStringLiteral("postwren");
    pictures.themePath = QStringLiteral("/usr/share/icons");
    icon->SetPicture(pictures);

    const auto property = [&](const char* name) {
        const QDBusMessage reply = CallItem(watcher.connection, item, QStringLiteral("/StatusNotifierItem"),
                                            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                            {QStringLiteral("org.kde.StatusNotifierItem"), QString::fromLatin1(name)});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << name;
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    };
    EXPECT_EQ(property("IconName").toString(), QStringLiteral("postwren"));
    EXPECT_EQ(property("IconThemePath").toString(), QStringLiteral("/usr/share/icons"));
    std::vector<int> sizes;
    const QDBusArgument list = qvariant_cast<QDBusArgument>(property("IconPixmap"));
    list.beginArray();
    while (!list.atEnd()) {
        qint32 width = 0, height = 0;
        QByteArray argb;
        list.beginStructure();
        list >> width >> height >> argb;
        list.endStructure();
        sizes.push_back(width);
        ASSERT_EQ(height, width);
        ASSERT_EQ(argb.size(), width * height * 4);
        // ARGB in network byte order, unscaled: the first pixel carries the
        // size it was drawn for, the top right one its mark.
        EXPECT_EQ(QByteArray(argb.constData(), 4),
                  QByteArray::fromHex("c8" + QByteArray::number(width % 256, 16).rightJustified(2, '0') + "0102"));
        EXPECT_EQ(argb.mid((width - 1) * 4, 4), QByteArray::fromHex("ff090807"));
    }
    list.endArray();
    EXPECT_EQ(sizes, (std::vector<int>{16, 22, 24, 32, 44, 48, 256}));
}

}  // namespace
