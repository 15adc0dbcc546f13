// GNOME's proxy settings (org.gnome.system.proxy), read and written through GIO's
// GSettings: what GNOME, the desktops built on its settings, GTK programs and
// Firefox read. GSettings announce their own changes, so nobody is told.

#include <QtGlobal>

#ifndef Q_OS_WIN
// Before any Qt header: GIO names struct members "signals", which Qt's headers
// turn into a keyword.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#endif

#include "platform/desktopproxy.h"

#ifndef Q_OS_WIN

#include <QDebug>
#include <QFile>
#include <QJsonArray>

namespace platform {

namespace {

const char kProxySchema[] = "org.gnome.system.proxy";
// The main schema, then one per protocol in ProxyProtocol's order.
const char *const kSchemaIds[] = {kProxySchema, "org.gnome.system.proxy.http",
                                  "org.gnome.system.proxy.https", "org.gnome.system.proxy.ftp",
                                  "org.gnome.system.proxy.socks"};
constexpr int kSchemaCount = int(std::size(kSchemaIds));
// The schema's own default ports: a protocol greenlark empties gets its port back
// too, so an untouched desktop reads as untouched again.
constexpr int kDefaultPorts[kProtocolCount] = {8080, 0, 0, 0};

struct TypedKey
{
    const char *key;
    const char *type;
};
// Every key read, with the type it must have: reading a key of another type
// through the typed getters is undefined.
const TypedKey kMainKeys[] = {{"mode", "s"}, {"autoconfig-url", "s"}, {"ignore-hosts", "as"}};
const TypedKey kProtocolKeys[] = {{"host", "s"}, {"port", "i"}};
const char kAuthenticationKey[] = "use-authentication"; // of the http proxy alone
const TypedKey kHttpKeys[] = {{"host", "s"}, {"port", "i"}, {kAuthenticationKey, "b"}};

struct ObjectUnref
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct SchemaUnref
{
    void operator()(GSettingsSchema *schema) const { g_settings_schema_unref(schema); }
};
struct VariantUnref
{
    void operator()(GVariant *value) const { g_variant_unref(value); }
};
using SettingsPtr = std::unique_ptr<GSettings, ObjectUnref>;
using SchemaPtr = std::unique_ptr<GSettingsSchema, SchemaUnref>;
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;
using AllSettings = std::array<SettingsPtr, kSchemaCount>;

VariantPtr owned(GVariant *floating)
{
    return VariantPtr(g_variant_ref_sink(floating));
}

QString stringValue(GSettings *settings, const char *key)
{
    gchar *value = g_settings_get_string(settings, key);
    const QString text = QString::fromUtf8(value);
    g_free(value);
    return text;
}

QStringList listValue(GSettings *settings, const char *key)
{
    gchar **values = g_settings_get_strv(settings, key);
    QStringList list;
    for (gchar **value = values; *value != nullptr; ++value)
        list << QString::fromUtf8(*value);
    g_strfreev(values);
    return list;
}

GVariant *stringVariant(const QString &text)
{
    return g_variant_new_string(text.toUtf8().constData());
}

GVariant *listVariant(const QStringList &list)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
    for (const QString &entry : list)
        g_variant_builder_add(&builder, "s", entry.toUtf8().constData());
    return g_variant_builder_end(&builder);
}

bool hasKeys(GSettingsSchema *schema, const char *id, const TypedKey *keys, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (!g_settings_schema_has_key(schema, keys[i].key)) {
            qDebug("GNOME proxy settings: %s has no key %s", id, keys[i].key);
            return false;
        }
        GSettingsSchemaKey *key = g_settings_schema_get_key(schema, keys[i].key);
        const bool typed = g_variant_type_equal(g_settings_schema_key_get_value_type(key),
                                                G_VARIANT_TYPE(keys[i].type));
        g_settings_schema_key_unref(key);
        if (!typed) {
            qDebug("GNOME proxy settings: %s.%s is not of type %s", id, keys[i].key, keys[i].type);
            return false;
        }
    }
    return true;
}

bool inRange(GSettings *settings, const char *key, GVariant *value)
{
    GSettingsSchema *schema = nullptr;
    g_object_get(settings, "settings-schema", &schema, nullptr);
    GSettingsSchemaKey *schemaKey = g_settings_schema_get_key(schema, key);
    const bool ok = g_settings_schema_key_range_check(schemaKey, value);
    g_settings_schema_key_unref(schemaKey);
    g_settings_schema_unref(schema);
    return ok;
}

struct Change
{
    GSettings *settings;
    const char *key;
    VariantPtr value;
};

class GnomeStore
{
public:
    using State = GnomeProxyState;

    static constexpr char kName[] = "gnome";

    explicit GnomeStore(const QString &schemaFolder)
    {
        if (schemaFolder.isEmpty()) {
            // The keyfile backend keeps what it read in memory and does not
            // take back a write that failed to reach the disk, so reading it
            // back would say a lost write held; and its memory of the file
            // goes stale when another process writes it. A fresh one per use
            // reads the file as it is and writes it at once.
            GSettingsBackend *backend = g_settings_backend_get_default();
            if (qstrcmp(G_OBJECT_TYPE_NAME(backend), "GKeyfileSettingsBackend") == 0)
                m_freshBackendType = G_OBJECT_TYPE(backend);
            g_object_unref(backend);
            return;
        }
        GError *error = nullptr;
        m_ownSource = g_settings_schema_source_new_from_directory(
            QFile::encodeName(schemaFolder).constData(), nullptr, FALSE, &error);
        if (error != nullptr) {
            qDebug("GNOME proxy settings: no schemas in %s: %s", qUtf8Printable(schemaFolder),
                   error->message);
            g_error_free(error);
        }
        m_custom = true;
    }

    ~GnomeStore()
    {
        if (m_ownSource != nullptr)
            g_settings_schema_source_unref(m_ownSource);
    }

    static bool toInternet(const State &state, ProxyOptions *options)
    {
        return gnomeToInternet(state, options);
    }
    static bool fromInternet(const ProxyOptions &options, State *state)
    {
        return internetToGnome(options, state);
    }
    static QJsonObject toJson(const State &state) { return gnomeToJson(state); }
    static bool fromJson(const QJsonObject &json, State *state) { return jsonToGnome(json, state); }
    // Credentials for the user's proxy are not offered to greenlark's.
    static void forGreenlark(State *state) { state->useAuthentication = false; }

    bool load(State *state) const
    {
        AllSettings settings;
        if (!open(&settings))
            return false;
        state->mode = stringValue(settings[0].get(), "mode");
        state->autoconfigUrl = stringValue(settings[0].get(), "autoconfig-url");
        state->ignoreHosts = listValue(settings[0].get(), "ignore-hosts");
        for (int p = 0; p < kProtocolCount; ++p) {
            state->hosts[p].host = stringValue(settings[p + 1].get(), "host");
            state->hosts[p].port = g_settings_get_int(settings[p + 1].get(), "port");
        }
        state->useAuthentication = g_settings_get_boolean(settings[1].get(), kAuthenticationKey);
        return true;
    }

    bool save(const State &target, const State &current) const
    {
        AllSettings settings;
        if (!open(&settings))
            return false;
        std::vector<Change> changes;
        auto change = [&changes](GSettings *where, const char *key, GVariant *value) {
            changes.push_back({where, key, owned(value)});
        };
        GSettings *proxy = settings[0].get();
        if (target.mode != current.mode)
            change(proxy, "mode", stringVariant(target.mode));
        if (target.autoconfigUrl != current.autoconfigUrl)
            change(proxy, "autoconfig-url", stringVariant(target.autoconfigUrl));
        if (target.ignoreHosts != current.ignoreHosts)
            change(proxy, "ignore-hosts", listVariant(target.ignoreHosts));
        for (int p = 0; p < kProtocolCount; ++p) {
            GSettings *protocol = settings[p + 1].get();
            if (target.hosts[p].host != current.hosts[p].host)
                change(protocol, "host", stringVariant(target.hosts[p].host));
            if (target.hosts[p].port != current.hosts[p].port)
                change(protocol, "port", g_variant_new_int32(target.hosts[p].port));
        }
        if (target.useAuthentication != current.useAuthentication)
            change(settings[1].get(), kAuthenticationKey,
                   g_variant_new_boolean(target.useAuthentication));
        // Checked before anything is written, so a refusal leaves every key as it was.
        for (const Change &c : changes) {
            if (!g_settings_is_writable(c.settings, c.key) ||
                !inRange(c.settings, c.key, c.value.get())) {
                gchar *printed = g_variant_print(c.value.get(), FALSE);
                qDebug("GNOME proxy settings: %s cannot take %s", c.key, printed);
                g_free(printed);
                return false;
            }
        }
        // Each schema's keys reach the store together.
        for (const SettingsPtr &s : settings)
            g_settings_delay(s.get());
        for (const Change &c : changes) {
            // A value equal to the default goes back to being the default, as on a
            // desktop nobody configured.
            const VariantPtr defaultValue(g_settings_get_default_value(c.settings, c.key));
            if (defaultValue && g_variant_equal(defaultValue.get(), c.value.get()))
                g_settings_reset(c.settings, c.key);
            else
                g_settings_set_value(c.settings, c.key, c.value.get());
        }
        for (const SettingsPtr &s : settings)
            g_settings_apply(s.get());
        g_settings_sync();
        return true;
    }

    void notify() const {}

private:
    Q_DISABLE_COPY(GnomeStore)

    GSettingsSchemaSource *source() const
    {
        return m_custom ? m_ownSource : g_settings_schema_source_get_default();
    }

    // Creating settings for a schema that is not installed ends the process, so
    // every schema is looked up first.
    bool open(AllSettings *settings) const
    {
        using BackendPtr = std::unique_ptr<GSettingsBackend, ObjectUnref>;
        const BackendPtr backend(
            m_freshBackendType == G_TYPE_INVALID
                ? nullptr
                : G_SETTINGS_BACKEND(g_object_new(m_freshBackendType, nullptr)));
        GSettingsSchemaSource *schemas = source();
        for (int i = 0; i < kSchemaCount; ++i) {
            const SchemaPtr schema(
                schemas != nullptr ? g_settings_schema_source_lookup(schemas, kSchemaIds[i], TRUE)
                                   : nullptr);
            if (!schema) {
                qDebug("GNOME proxy settings: schema %s is not installed", kSchemaIds[i]);
                return false;
            }
            const bool keys =
                i == 0 ? hasKeys(schema.get(), kSchemaIds[i], kMainKeys, std::size(kMainKeys))
                : i == 1
                    ? hasKeys(schema.get(), kSchemaIds[i], kHttpKeys, std::size(kHttpKeys))
                    : hasKeys(schema.get(), kSchemaIds[i], kProtocolKeys, std::size(kProtocolKeys));
            if (!keys)
                return false;
            (*settings)[i].reset(g_settings_new_full(schema.get(), backend.get(), nullptr));
        }
        return true;
    }

    GSettingsSchemaSource *m_ownSource = nullptr;
    bool m_custom = false;
    GType m_freshBackendType = G_TYPE_INVALID;
};

} // namespace

bool gnomeToInternet(const GnomeProxyState &state, ProxyOptions *options)
{
    ProxyOptions view;
    if (state.mode == QLatin1String("manual"))
        view.flags = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
    else if (state.mode == QLatin1String("auto"))
        view.flags =
            PROXY_TYPE_DIRECT |
            (state.autoconfigUrl.isEmpty() ? PROXY_TYPE_AUTO_DETECT : PROXY_TYPE_AUTO_PROXY_URL);
    else if (state.mode != QLatin1String("none"))
        return false;
    view.proxyServer = formatProxyServer(state.hosts);
    if (!state.ignoreHosts.isEmpty())
        view.proxyBypass = state.ignoreHosts.join(QLatin1Char(';'));
    if (!state.autoconfigUrl.isEmpty())
        view.autoConfigUrl = state.autoconfigUrl;
    *options = view;
    return true;
}

bool internetToGnome(const ProxyOptions &options, GnomeProxyState *state)
{
    ProxyOptions current;
    if (!gnomeToInternet(*state, &current))
        return false;
    GnomeProxyState target = *state;
    if (options.flags & (PROXY_TYPE_AUTO_PROXY_URL | PROXY_TYPE_AUTO_DETECT))
        target.mode = QStringLiteral("auto");
    else if (options.flags & PROXY_TYPE_PROXY)
        target.mode = QStringLiteral("manual");
    else
        target.mode = QStringLiteral("none");
    target.autoconfigUrl = options.autoConfigUrl;
    if (options.proxyServer != current.proxyServer) {
        ProxyHosts hosts;
        if (!parseProxyServer(options.proxyServer, &hosts))
            return false;
        for (int p = 0; p < kProtocolCount; ++p) {
            if (!hosts[p].host.isEmpty())
                target.hosts[p] = hosts[p];
            else if (!state->hosts[p].host.isEmpty())
                target.hosts[p] = {QString(), kDefaultPorts[p], QString()};
        }
    }
    if (options.proxyBypass != current.proxyBypass) {
        const QString entries = desktopBypassList(options.proxyBypass);
        target.ignoreHosts = entries.isEmpty() ? QStringList() : entries.split(QLatin1Char(';'));
    }
    *state = target;
    return true;
}

QJsonObject gnomeToJson(const GnomeProxyState &state)
{
    QJsonObject json{
        {QStringLiteral("mode"), state.mode},
        {QStringLiteral("autoconfig-url"), state.autoconfigUrl},
        {QStringLiteral("ignore-hosts"), QJsonArray::fromStringList(state.ignoreHosts)},
        {QLatin1String(kAuthenticationKey), state.useAuthentication}};
    for (int p = 0; p < kProtocolCount; ++p) {
        const QString schema = QString::fromLatin1(kSchemaIds[p + 1]).section(QLatin1Char('.'), -1);
        json.insert(schema + QLatin1String("/host"), state.hosts[p].host);
        json.insert(schema + QLatin1String("/port"), state.hosts[p].port);
    }
    return json;
}

bool jsonToGnome(const QJsonObject &json, GnomeProxyState *state)
{
    GnomeProxyState read;
    bool ok = json.size() == 3 + 1 + 2 * kProtocolCount;
    const auto text = [&](const QString &key, QString *value) {
        ok = ok && json.value(key).isString();
        *value = json.value(key).toString();
    };
    text(QStringLiteral("mode"), &read.mode);
    text(QStringLiteral("autoconfig-url"), &read.autoconfigUrl);
    const QJsonValue hosts = json.value(QStringLiteral("ignore-hosts"));
    ok = ok && hosts.isArray();
    for (const QJsonValue &host : hosts.toArray()) {
        ok = ok && host.isString();
        read.ignoreHosts << host.toString();
    }
    const QJsonValue authentication = json.value(QLatin1String(kAuthenticationKey));
    ok = ok && authentication.isBool();
    read.useAuthentication = authentication.toBool();
    for (int p = 0; p < kProtocolCount; ++p) {
        const QString schema = QString::fromLatin1(kSchemaIds[p + 1]).section(QLatin1Char('.'), -1);
        text(schema + QLatin1String("/host"), &read.hosts[p].host);
        const QJsonValue port = json.value(schema + QLatin1String("/port"));
        ok = ok && port.isDouble() && port.toDouble() == port.toInt();
        read.hosts[p].port = port.toInt();
    }
    if (ok)
        *state = read;
    return ok;
}

} // namespace platform

extern "C" Q_DECL_EXPORT bool greenlarkGnomeSchemaInstalled()
{
    GSettingsSchemaSource *schemas = g_settings_schema_source_get_default();
    const platform::SchemaPtr schema(
        schemas != nullptr ? g_settings_schema_source_lookup(schemas, platform::kProxySchema, TRUE)
                           : nullptr);
    return schema != nullptr;
}

// What the program finds when it loads this module; an empty schema folder
// means the user's own.
extern "C" Q_DECL_EXPORT platform::ProxyStore *greenlarkGnomeStore(const QString &schemaFolder)
{
    return new platform::DesktopProxyStore<platform::GnomeStore>(schemaFolder);
}

#endif // Q_OS_WIN
