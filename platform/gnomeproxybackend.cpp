// GNOME's proxy settings (org.gnome.system.proxy), read and written through GIO's
// GSettings: what GNOME, the desktops built on its settings, GTK programs and
// Firefox read. GSettings announce their own changes, so nobody is told.

#include <QtGlobal>

#ifndef Q_OS_WIN
// Before any Qt header: GIO names struct members "signals", which Qt's headers
// turn into a keyword.
#include <gio/gio.h>
#endif

#include "platform/desktopproxy.h"

#ifndef Q_OS_WIN

#include <QDebug>
#include <QFile>

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

    explicit GnomeStore(const QString &schemaFolder)
    {
        if (schemaFolder.isEmpty())
            return;
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

    static bool toInternet(const State &state, InternetOptions *options)
    {
        return gnomeToInternet(state, options);
    }
    static bool fromInternet(const InternetOptions &options, State *state)
    {
        return internetToGnome(options, state);
    }

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

    bool notify(DWORD) const { return true; }

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
                i == 0
                    ? hasKeys(schema.get(), kSchemaIds[i], kMainKeys, std::size(kMainKeys))
                    : hasKeys(schema.get(), kSchemaIds[i], kProtocolKeys, std::size(kProtocolKeys));
            if (!keys)
                return false;
            (*settings)[i].reset(g_settings_new_full(schema.get(), nullptr, nullptr));
        }
        return true;
    }

    GSettingsSchemaSource *m_ownSource = nullptr;
    bool m_custom = false;
};

} // namespace

bool gnomeToInternet(const GnomeProxyState &state, InternetOptions *options)
{
    InternetOptions view;
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

bool internetToGnome(const InternetOptions &options, GnomeProxyState *state)
{
    InternetOptions current;
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
                target.hosts[p] = {QString(), kDefaultPorts[p]};
        }
    }
    if (options.proxyBypass != current.proxyBypass) {
        const QString entries = desktopBypassList(options.proxyBypass);
        target.ignoreHosts = entries.isEmpty() ? QStringList() : entries.split(QLatin1Char(';'));
    }
    *state = target;
    return true;
}

bool gnomeSchemaInstalled()
{
    GSettingsSchemaSource *schemas = g_settings_schema_source_get_default();
    const SchemaPtr schema(schemas != nullptr
                               ? g_settings_schema_source_lookup(schemas, kProxySchema, TRUE)
                               : nullptr);
    return schema != nullptr;
}

std::unique_ptr<DesktopProxy> makeGnomeDesktopProxy(const QString &schemaFolder)
{
    return std::make_unique<DesktopProxyBackend<GnomeStore>>(schemaFolder);
}

std::unique_ptr<ProxyBackend> makeGnomeProxyBackend(const QString &schemaFolder)
{
    return makeGnomeDesktopProxy(schemaFolder);
}

} // namespace platform

#endif // Q_OS_WIN
