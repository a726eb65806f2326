#include "MovaraAppKit/Telemetry/Core/Util/BCNHistoryInfo.h"

void BCNHistoryInfo::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    if (m_timestamp)
        coder.encodeDate(*m_timestamp, "timestampKey");
}

void BCNHistoryInfo::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    m_timestamp = coder.decodeDate("timestampKey");
}

namespace {
const bool registered = [] {
    foundation::KeyedArchiver::registerClass({ "BCNHistoryInfo", {}, true, 0, [](foundation::KeyedUnarchiver& coder) {
                                                  auto info = std::make_shared<BCNHistoryInfo>();
                                                  info->initWithCoder(coder);
                                                  return info;
                                              } });
    return true;
}();
}
