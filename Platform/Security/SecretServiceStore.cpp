#include "Platform/Security/SecretServiceStore.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>

namespace security::secretservice {

namespace {

const SecretSchema kSchema = {
    "com.quintor.Keychain",
    SECRET_SCHEMA_NONE,
    {
        { "keychain", SECRET_SCHEMA_ATTRIBUTE_STRING },
        { "service", SECRET_SCHEMA_ATTRIBUTE_STRING },
        { "account", SECRET_SCHEMA_ATTRIBUTE_STRING },
        { "accessGroup", SECRET_SCHEMA_ATTRIBUTE_STRING },
        { "synchronizable", SECRET_SCHEMA_ATTRIBUTE_STRING },
        { "accessible", SECRET_SCHEMA_ATTRIBUTE_STRING },
        // When the item was added: searches answer in no order of their own.
        { "sequence", SECRET_SCHEMA_ATTRIBUTE_STRING },
        { nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING },
    },
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

struct TableDeleter {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueDeleter {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct ObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Table = std::unique_ptr<GHashTable, TableDeleter>;
using Value = std::unique_ptr<SecretValue, ValueDeleter>;
using Item = std::unique_ptr<SecretItem, ObjectDeleter>;

Table newTable()
{
    return Table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
}

void put(GHashTable* table, const char* name, const std::string& value)
{
    g_hash_table_replace(table, g_strdup(name), g_strdup(value.c_str()));
}

std::string get(GHashTable* table, const char* name)
{
    auto* value = static_cast<const char*>(g_hash_table_lookup(table, name));
    return value ? value : "";
}

bool busRuns();

// The service, kept once opened; none when no bus runs or nothing answers on it.
SecretService* service()
{
    static std::mutex mutex;
    static SecretService* opened = nullptr;
    std::lock_guard lock(mutex);
    if (!busRuns())
        return nullptr;
    if (!opened) {
        GError* error = nullptr;
        opened = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
        if (error)
            g_error_free(error);
    }
    return opened;
}

bool busRuns()
{
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

Table attributesFor(const std::string& scope, const KeychainQuery& query)
{
    Table table = newTable();
    put(table.get(), "keychain", scope);
    if (query.service)
        put(table.get(), "service", *query.service);
    if (query.account)
        put(table.get(), "account", *query.account);
    if (query.accessGroup)
        put(table.get(), "accessGroup", *query.accessGroup);
    if (query.synchronizable)
        put(table.get(), "synchronizable", *query.synchronizable ? "true" : "false");
    return table;
}

std::string nextSequence()
{
    // Microseconds, made strictly increasing within the process, padded to sort as text.
    static std::atomic<long long> last { 0 };
    long long now = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    long long previous = last.load();
    while (true) {
        long long next = std::max(now, previous + 1);
        if (last.compare_exchange_weak(previous, next)) {
            char text[24];
            std::snprintf(text, sizeof text, "%020lld", next);
            return text;
        }
    }
}

// The matching items, oldest first; errSecSuccess with none when nothing matches.
OSStatus search(const std::string& scope, const KeychainQuery& query, bool loadSecrets, std::vector<Item>* items)
{
    SecretService* secrets = service();
    if (!secrets)
        return errSecNotAvailable;
    Table attributes = attributesFor(scope, query);
    GError* error = nullptr;
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0));
    GList* found = secret_service_search_sync(secrets, &kSchema, attributes.get(), flags, nullptr, &error);
    if (error) {
        g_error_free(error);
        return errSecIO;
    }
    std::vector<std::pair<std::string, Item>> ordered;
    for (GList* node = found; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        Table itemAttributes(secret_item_get_attributes(item));
        ordered.emplace_back(get(itemAttributes.get(), "sequence"), Item(item));
    }
    g_list_free(found);
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [sequence, item] : ordered)
        items->push_back(std::move(item));
    return errSecSuccess;
}

KeychainItem itemFrom(SecretItem* item, bool withData)
{
    Table attributes(secret_item_get_attributes(item));
    KeychainItem result;
    result.service = get(attributes.get(), "service");
    result.account = get(attributes.get(), "account");
    result.accessGroup = get(attributes.get(), "accessGroup");
    result.accessible = get(attributes.get(), "accessible");
    result.synchronizable = get(attributes.get(), "synchronizable") == "true";
    gchar* label = secret_item_get_label(item);
    result.label = label ? label : "";
    g_free(label);
    if (withData) {
        Value value(secret_item_get_secret(item));
        gsize length = 0;
        const gchar* bytes = value ? secret_value_get(value.get(), &length) : nullptr;
        result.data = std::vector<std::uint8_t>(bytes, bytes + (bytes ? length : 0));
    }
    return result;
}

bool sameIdentity(const KeychainItem& a, const KeychainItem& b)
{
    return a.service == b.service && a.account == b.account && a.accessGroup == b.accessGroup && a.synchronizable == b.synchronizable;
}

Value valueFor(const std::vector<std::uint8_t>& data)
{
    return Value(secret_value_new(reinterpret_cast<const gchar*>(data.data()), static_cast<gssize>(data.size()), "application/octet-stream"));
}

} // namespace

bool available()
{
    return service() != nullptr;
}

OSStatus add(const std::string& scope, const KeychainItem& item)
{
    std::vector<Item> existing;
    if (OSStatus status = search(scope, { item.service, item.account, item.accessGroup, item.synchronizable }, false, &existing); status != errSecSuccess)
        return status;
    if (!existing.empty())
        return errSecDuplicateItem;
    Table attributes = attributesFor(scope, { item.service, item.account, item.accessGroup, item.synchronizable });
    put(attributes.get(), "accessible", item.accessible);
    put(attributes.get(), "sequence", nextSequence());
    Value value = valueFor(item.data ? *item.data : std::vector<std::uint8_t>());
    GError* error = nullptr;
    gboolean stored = secret_service_store_sync(service(), &kSchema, attributes.get(), SECRET_COLLECTION_DEFAULT, item.label.c_str(), value.get(),
                                                nullptr, &error);
    if (error)
        g_error_free(error);
    return stored ? errSecSuccess : errSecIO;
}

OSStatus copyMatching(const std::string& scope, const KeychainQuery& query, bool returnData, std::size_t limit,
                      std::vector<KeychainItem>* results)
{
    std::vector<Item> items;
    if (OSStatus status = search(scope, query, returnData, &items); status != errSecSuccess)
        return status;
    if (items.empty())
        return errSecItemNotFound;
    std::vector<KeychainItem> found;
    for (const Item& item : items) {
        found.push_back(itemFrom(item.get(), returnData));
        if (limit && found.size() == limit)
            break;
    }
    if (results)
        *results = std::move(found);
    return errSecSuccess;
}

OSStatus update(const std::string& scope, const KeychainQuery& query, const KeychainChanges& changes)
{
    std::vector<Item> matched;
    if (OSStatus status = search(scope, query, false, &matched); status != errSecSuccess)
        return status;
    if (matched.empty())
        return errSecItemNotFound;
    if (changes.account) {
        // The change must not make two items the same: checked before anything changes.
        std::vector<Item> all;
        if (OSStatus status = search(scope, {}, false, &all); status != errSecSuccess)
            return status;
        std::vector<KeychainItem> after;
        for (const Item& item : all) {
            KeychainItem attributes = itemFrom(item.get(), false);
            const bool changing = std::any_of(matched.begin(), matched.end(), [&](const Item& m) { return sameIdentity(itemFrom(m.get(), false), attributes); });
            if (changing)
                attributes.account = *changes.account;
            after.push_back(std::move(attributes));
        }
        for (std::size_t i = 0; i < after.size(); ++i) {
            for (std::size_t j = i + 1; j < after.size(); ++j) {
                if (sameIdentity(after[i], after[j]))
                    return errSecDuplicateItem;
            }
        }
    }
    for (const Item& item : matched) {
        GError* error = nullptr;
        if (changes.account) {
            Table attributes(secret_item_get_attributes(item.get()));
            put(attributes.get(), "account", *changes.account);
            g_hash_table_remove(attributes.get(), "xdg:schema");
            secret_item_set_attributes_sync(item.get(), &kSchema, attributes.get(), nullptr, &error);
        }
        if (!error && changes.label)
            secret_item_set_label_sync(item.get(), changes.label->c_str(), nullptr, &error);
        if (!error && changes.data) {
            Value value = valueFor(*changes.data);
            secret_item_set_secret_sync(item.get(), value.get(), nullptr, &error);
        }
        if (error) {
            g_error_free(error);
            return errSecIO;
        }
    }
    return errSecSuccess;
}

OSStatus remove(const std::string& scope, const KeychainQuery& query)
{
    std::vector<Item> matched;
    if (OSStatus status = search(scope, query, false, &matched); status != errSecSuccess)
        return status;
    if (matched.empty())
        return errSecItemNotFound;
    for (const Item& item : matched) {
        GError* error = nullptr;
        if (!secret_item_delete_sync(item.get(), nullptr, &error)) {
            if (error)
                g_error_free(error);
            return errSecIO;
        }
    }
    return errSecSuccess;
}

} // namespace security::secretservice
