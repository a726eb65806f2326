#include "Platform/UI/Gtk/SingleInstance.h"

#include <gio/gio.h>

#include <cstdlib>

#include "Platform/UI/Application.h"
#include "Platform/UI/Gtk/GtkDesktop.h"

namespace ui {

namespace {

// How long a later launch waits for the running instance to take its request: long enough
// for one busy building a preview, short enough that a stuck one does not hang the launch.
constexpr int HandOverTimeoutMilliseconds = 30000;

// The window a request from another launch brings forward: the one the person works in.
void bringApplicationForward()
{
    auto app = Application::shared();
    WindowPtr window = app->keyWindow();
    if (!window || !window->isVisible())
        window = app->mainWindow();
    if (window && window->isVisible())
        raiseOnDisplay(*window);
}

void openRequested(GApplication*, GFile** files, gint count, gchar*, gpointer)
{
    std::vector<std::string> paths;
    for (gint i = 0; i < count; ++i) {
        // Only local files can be read; a remote address is the file manager's to download.
        if (char* path = g_file_get_path(files[i])) {
            paths.emplace_back(path);
            g_free(path);
        }
    }
    auto app = Application::shared();
    if (paths.empty())
        app->reopen();
    else
        app->openFiles(paths);
    bringApplicationForward();
}

void activateRequested(GApplication*, gpointer)
{
    Application::shared()->reopen();
    bringApplicationForward();
}

// What the desktop gave the later launch to pass on (the startup notification's id), so the
// window it brings forward may take the focus.
GVariant* platformData()
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    if (const char* id = std::getenv("DESKTOP_STARTUP_ID"); id && *id)
        g_variant_builder_add(&builder, "{sv}", "desktop-startup-id", g_variant_new_string(id));
    if (const char* token = std::getenv("XDG_ACTIVATION_TOKEN"); token && *token)
        g_variant_builder_add(&builder, "{sv}", "activation-token", g_variant_new_string(token));
    return g_variant_builder_end(&builder);
}

} // namespace

struct SingleInstance::Impl {
    GApplication* application = nullptr;
    ~Impl()
    {
        if (application)
            g_object_unref(application);
    }
};

SingleInstance::SingleInstance()
    : m_impl(std::make_unique<Impl>())
{
}

SingleInstance::~SingleInstance() = default;

std::unique_ptr<SingleInstance> SingleInstance::start(const std::string& applicationId, const std::vector<std::string>& paths,
                                                      Outcome* outcome, std::string* error)
{
    *outcome = Outcome::alone;
    if (!g_application_id_is_valid(applicationId.c_str()))
        return nullptr;
    std::unique_ptr<SingleInstance> instance(new SingleInstance());
    GApplication* app = g_application_new(applicationId.c_str(), G_APPLICATION_HANDLES_OPEN);
    instance->m_impl->application = app;
    g_signal_connect(app, "open", G_CALLBACK(openRequested), nullptr);
    g_signal_connect(app, "activate", G_CALLBACK(activateRequested), nullptr);

    GError* failure = nullptr;
    if (!g_application_register(app, nullptr, &failure)) {
        // The name is taken in a way GLib cannot use, or the bus refused: run alone.
        g_clear_error(&failure);
        return nullptr;
    }
    GDBusConnection* bus = g_application_get_dbus_connection(app);
    if (!bus)
        return nullptr; // no session bus
    if (!g_application_get_is_remote(app)) {
        *outcome = Outcome::primary;
        return instance;
    }

    // Another launch owns the name: the request goes to it, and its answer says it took it.
    GVariant* parameters = nullptr;
    const char* method = "Activate";
    if (paths.empty()) {
        parameters = g_variant_new("(@a{sv})", platformData());
    } else {
        GVariantBuilder uris;
        g_variant_builder_init(&uris, G_VARIANT_TYPE_STRING_ARRAY);
        for (const auto& path : paths) {
            GFile* file = g_file_new_for_path(path.c_str());
            char* uri = g_file_get_uri(file);
            g_variant_builder_add(&uris, "s", uri);
            g_free(uri);
            g_object_unref(file);
        }
        parameters = g_variant_new("(ass@a{sv})", &uris, "", platformData());
        method = "Open";
    }
    GVariant* reply = g_dbus_connection_call_sync(bus, applicationId.c_str(), g_application_get_dbus_object_path(app),
                                                  "org.gtk.Application", method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  HandOverTimeoutMilliseconds, nullptr, &failure);
    if (!reply) {
        *outcome = Outcome::failed;
        if (error)
            *error = failure && failure->message ? failure->message : "no answer";
        g_clear_error(&failure);
        return nullptr;
    }
    g_variant_unref(reply);
    *outcome = Outcome::forwarded;
    return nullptr;
}

} // namespace ui
