#include "MovaraAppKit/Telemetry/Core/Context/BCNHistoryStore.h"

#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"

namespace {

// The archived list: the root object holding the entries, oldest first.
class BCNHistoryList : public foundation::Coding {
public:
    std::vector<std::shared_ptr<const BCNHistoryInfo>> entries;
    std::vector<std::shared_ptr<BCNHistoryInfo>> decoded;

    std::string className() const override { return "BCNHistoryList"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override
    {
        coder.encodeArrayOfObjects(std::vector<std::shared_ptr<const foundation::Coding>>(entries.begin(), entries.end()), "entries");
    }
};

const bool registered = [] {
    foundation::KeyedArchiver::registerClass({ "BCNHistoryList", {}, true, 0, [](foundation::KeyedUnarchiver& coder) {
                                                  auto list = std::make_shared<BCNHistoryList>();
                                                  if (auto objects = coder.decodeArrayOfObjectsOfClasses({ "BCNHistoryInfo" }, "entries"))
                                                      for (auto& object : *objects)
                                                          if (auto entry = std::dynamic_pointer_cast<BCNHistoryInfo>(object))
                                                              list->decoded.push_back(entry);
                                                  return list;
                                              } });
    return true;
}();

} // namespace

namespace bcn {

std::vector<std::shared_ptr<BCNHistoryInfo>> loadHistoryEntries(const std::string& key)
{
    const foundation::Value stored = BCNBeaconUserDefaults::shared().objectForKey(key);
    if (!stored.isData())
        return {};
    auto list = std::dynamic_pointer_cast<BCNHistoryList>(BCNUtility::unarchiveKeyedData(stored.asData()));
    return list ? list->decoded : std::vector<std::shared_ptr<BCNHistoryInfo>> {};
}

void storeHistory(const std::string& key, const std::vector<std::shared_ptr<const BCNHistoryInfo>>& entries)
{
    auto list = std::make_shared<BCNHistoryList>();
    list->entries = entries;
    if (auto data = BCNUtility::archiveKeyedData(list))
        BCNBeaconUserDefaults::shared().setObjectForKey(*data, key);
}

} // namespace bcn
