#include "Platform/Graphics/ColorSpace.h"

#include <lcms2.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace graphics {

const std::string kCGColorSpaceSRGB = "kCGColorSpaceSRGB";
const std::string kCGColorSpaceGenericRGB = "kCGColorSpaceGenericRGB";
const std::string kCGColorSpaceGenericGray = "kCGColorSpaceGenericGray";
const std::string kCGColorSpaceGenericGrayGamma2_2 = "kCGColorSpaceGenericGrayGamma2_2";
const std::string kCGColorSpaceGenericCMYK = "kCGColorSpaceGenericCMYK";
const std::string kCGColorSpaceLinearSRGB = "kCGColorSpaceLinearSRGB";
const std::string kCGColorSpaceDisplayP3 = "kCGColorSpaceDisplayP3";
const std::string kCGColorSpaceDeviceRGB = "kCGColorSpaceDeviceRGB";
const std::string kCGColorSpaceDeviceGray = "kCGColorSpaceDeviceGray";
const std::string kCGColorSpaceDeviceCMYK = "kCGColorSpaceDeviceCMYK";

namespace {

struct ProfileCloser {
    void operator()(void* p) const
    {
        if (p)
            cmsCloseProfile(static_cast<cmsHPROFILE>(p));
    }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct ToneCurveFree {
    void operator()(cmsToneCurve* c) const
    {
        if (c)
            cmsFreeToneCurve(c);
    }
};
using ToneCurve = std::unique_ptr<cmsToneCurve, ToneCurveFree>;

void setDescription(cmsHPROFILE profile, const char* text)
{
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", text);
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
}

std::vector<uint8_t> saveProfile(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0)
        return {};
    std::vector<uint8_t> bytes(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
        return {};
    bytes.resize(size);
    return bytes;
}

// An RGB profile with the sRGB (D65) primaries and the given tone curve.
Profile makeRGBProfile(cmsToneCurve* curve, const cmsCIExyYTRIPLE& primaries, const char* description)
{
    cmsCIExyY d65;
    cmsWhitePointFromTemp(&d65, 6504);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    Profile p(cmsCreateRGBProfile(&d65, &primaries, curves));
    if (p)
        setDescription(p.get(), description);
    return p;
}

const cmsCIExyYTRIPLE kSRGBPrimaries = {{0.6400, 0.3300, 1.0}, {0.3000, 0.6000, 1.0}, {0.1500, 0.0600, 1.0}};
const cmsCIExyYTRIPLE kP3Primaries = {{0.6800, 0.3200, 1.0}, {0.2650, 0.6900, 1.0}, {0.1500, 0.0600, 1.0}};

ToneCurve sRGBCurve()
{
    const cmsFloat64Number params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    return ToneCurve(cmsBuildParametricToneCurve(nullptr, 4, params));
}

std::vector<uint8_t> buildNamedProfile(const std::string& name)
{
    Profile p;
    if (name == kCGColorSpaceSRGB) {
        p.reset(cmsCreate_sRGBProfile());
        if (p)
            setDescription(p.get(), "sRGB IEC61966-2.1");
    } else if (name == kCGColorSpaceGenericRGB) {
        // Gamma 2.2 over the sRGB primaries: grey pixels drawn into it keep their values,
        // which is what a timelapse of grey frames expects.
        ToneCurve curve(cmsBuildGamma(nullptr, 2.2));
        p = makeRGBProfile(curve.get(), kSRGBPrimaries, "Generic RGB Profile");
    } else if (name == kCGColorSpaceLinearSRGB) {
        ToneCurve curve(cmsBuildGamma(nullptr, 1.0));
        p = makeRGBProfile(curve.get(), kSRGBPrimaries, "sRGB Linear");
    } else if (name == kCGColorSpaceDisplayP3) {
        ToneCurve curve = sRGBCurve();
        p = makeRGBProfile(curve.get(), kP3Primaries, "Display P3");
    } else if (name == kCGColorSpaceGenericGray || name == kCGColorSpaceGenericGrayGamma2_2) {
        const bool gamma22 = name == kCGColorSpaceGenericGrayGamma2_2;
        ToneCurve curve(cmsBuildGamma(nullptr, gamma22 ? 2.2 : 1.8));
        p.reset(cmsCreateGrayProfile(cmsD50_xyY(), curve.get()));
        if (p)
            setDescription(p.get(), gamma22 ? "Generic Gray Gamma 2.2 Profile" : "Generic Gray Profile");
    }
    return p ? saveProfile(p.get()) : std::vector<uint8_t>{};
}

ColorSpaceModel modelOfProfile(cmsHPROFILE p)
{
    switch (cmsGetColorSpace(p)) {
    case cmsSigGrayData: return ColorSpaceModel::monochrome;
    case cmsSigRgbData: return ColorSpaceModel::rgb;
    case cmsSigCmykData: return ColorSpaceModel::cmyk;
    case cmsSigLabData: return ColorSpaceModel::lab;
    default: return ColorSpaceModel::unknown;
    }
}

std::string profileDescription(cmsHPROFILE p)
{
    char buf[256] = {};
    cmsUInt32Number n = cmsGetProfileInfoASCII(p, cmsInfoDescription, "en", "US", buf, sizeof buf);
    return n ? std::string(buf) : std::string();
}

} // namespace

struct ColorSpace::Private {
    static ColorSpacePtr make(ColorSpaceModel model, std::optional<std::string> name, std::vector<uint8_t> icc,
                              std::string description)
    {
        auto cs = std::make_shared<ColorSpace>(model, std::move(name), std::move(icc));
        cs->m_description = std::move(description);
        return cs;
    }

    struct Transform {
        cmsHTRANSFORM handle = nullptr;
        ~Transform()
        {
            if (handle)
                cmsDeleteTransform(handle);
        }
    };

    // The transform from a profile-backed grey, CMYK or Lab space to sRGB; null when the
    // space has no profile or lcms2 refuses it.
    static std::shared_ptr<Transform> makeToSRGB(const ColorSpace& cs)
    {
        if (cs.m_icc.empty())
            return nullptr;
        Profile in(cmsOpenProfileFromMem(cs.m_icc.data(), static_cast<cmsUInt32Number>(cs.m_icc.size())));
        Profile out(cmsCreate_sRGBProfile());
        if (!in || !out)
            return nullptr;
        cmsUInt32Number inFormat = 0;
        switch (cs.m_model) {
        case ColorSpaceModel::monochrome: inFormat = TYPE_GRAY_8; break;
        case ColorSpaceModel::cmyk:
            // Profiles of CMYK JPEGs from Photoshop expect the inverted (Adobe) form; our
            // decoders hand out plain CMYK, so the profile sees ordinary ink values.
            inFormat = TYPE_CMYK_8;
            break;
        case ColorSpaceModel::lab: inFormat = TYPE_Lab_8; break;
        case ColorSpaceModel::rgb: inFormat = TYPE_RGB_8; break;
        default: return nullptr;
        }
        auto t = std::make_shared<Transform>();
        // NOCACHE makes one transform safe to use from several threads at once.
        t->handle = cmsCreateTransformTHR(nullptr, in.get(), inFormat, out.get(), TYPE_RGB_8, INTENT_PERCEPTUAL,
                                          cmsFLAGS_NOCACHE);
        if (!t->handle)
            return nullptr;
        return t;
    }
};

ColorSpace::ColorSpace(ColorSpaceModel model, std::optional<std::string> name, std::vector<uint8_t> icc)
    : m_model(model), m_name(std::move(name)), m_icc(std::move(icc))
{
}

ColorSpacePtr ColorSpace::createDeviceRGB()
{
    static const ColorSpacePtr cs = Private::make(ColorSpaceModel::rgb, kCGColorSpaceDeviceRGB, {}, "Device RGB");
    return cs;
}

ColorSpacePtr ColorSpace::createDeviceGray()
{
    static const ColorSpacePtr cs = Private::make(ColorSpaceModel::monochrome, kCGColorSpaceDeviceGray, {}, "Device Gray");
    return cs;
}

ColorSpacePtr ColorSpace::createDeviceCMYK()
{
    static const ColorSpacePtr cs = Private::make(ColorSpaceModel::cmyk, kCGColorSpaceDeviceCMYK, {}, "Device CMYK");
    return cs;
}

ColorSpacePtr ColorSpace::createWithName(const std::string& name)
{
    if (name == kCGColorSpaceDeviceRGB)
        return createDeviceRGB();
    if (name == kCGColorSpaceDeviceGray)
        return createDeviceGray();
    if (name == kCGColorSpaceDeviceCMYK)
        return createDeviceCMYK();
    // Named spaces are built once each and shared (function-local statics are thread-safe).
    static const std::map<std::string, ColorSpacePtr> named = [] {
        std::map<std::string, ColorSpacePtr> m;
        for (const std::string* n : {&kCGColorSpaceSRGB, &kCGColorSpaceGenericRGB, &kCGColorSpaceLinearSRGB,
                                     &kCGColorSpaceDisplayP3, &kCGColorSpaceGenericGray, &kCGColorSpaceGenericGrayGamma2_2}) {
            std::vector<uint8_t> icc = buildNamedProfile(*n);
            Profile p(icc.empty() ? nullptr
                                  : cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
            if (!p)
                continue;
            m[*n] = Private::make(modelOfProfile(p.get()), *n, std::move(icc), profileDescription(p.get()));
        }
        // lcms2 has no CMYK profile to build; generic CMYK converts with the naive formula.
        m[kCGColorSpaceGenericCMYK] = Private::make(ColorSpaceModel::cmyk, kCGColorSpaceGenericCMYK, {}, "Generic CMYK Profile");
        return m;
    }();
    auto it = named.find(name);
    return it == named.end() ? nullptr : it->second;
}

ColorSpacePtr ColorSpace::createWithICCData(const std::vector<uint8_t>& icc)
{
    if (icc.size() < 132) // a header and a tag count at the least
        return nullptr;
    Profile p(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
    if (!p)
        return nullptr;
    const ColorSpaceModel model = modelOfProfile(p.get());
    if (model == ColorSpaceModel::unknown)
        return nullptr;
    return Private::make(model, std::nullopt, icc, profileDescription(p.get()));
}

ColorSpacePtr ColorSpace::createIndexed(const ColorSpacePtr& base, int lastIndex, const std::vector<uint8_t>& table)
{
    if (!base || base->model() == ColorSpaceModel::indexed || base->model() == ColorSpaceModel::pattern)
        return nullptr;
    const int n = base->numberOfComponents();
    if (n <= 0 || lastIndex < 0 || lastIndex > 255)
        return nullptr;
    const size_t needed = static_cast<size_t>(lastIndex + 1) * static_cast<size_t>(n);
    if (table.size() < needed)
        return nullptr;
    auto cs = Private::make(ColorSpaceModel::indexed, std::nullopt, {}, "Indexed");
    auto mut = std::const_pointer_cast<ColorSpace>(cs);
    mut->m_base = base;
    mut->m_table.assign(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(needed));
    return cs;
}

int ColorSpace::numberOfComponents() const
{
    switch (m_model) {
    case ColorSpaceModel::monochrome: return 1;
    case ColorSpaceModel::rgb: return 3;
    case ColorSpaceModel::cmyk: return 4;
    case ColorSpaceModel::lab: return 3;
    case ColorSpaceModel::indexed: return 1;
    default: return 0;
    }
}

int ColorSpace::colorTableCount() const
{
    if (!m_base || m_base->numberOfComponents() == 0)
        return 0;
    return static_cast<int>(m_table.size() / static_cast<size_t>(m_base->numberOfComponents()));
}

std::string ColorSpace::description() const
{
    if (!m_description.empty())
        return m_description;
    return m_name.value_or(std::string());
}

bool ColorSpace::isEqual(const ColorSpace& other) const
{
    if (this == &other)
        return true;
    if (m_model != other.m_model)
        return false;
    if (m_name && other.m_name)
        return *m_name == *other.m_name;
    if (!m_icc.empty() || !other.m_icc.empty())
        return m_icc == other.m_icc;
    if (m_model == ColorSpaceModel::indexed)
        return m_table == other.m_table && m_base && other.m_base && m_base->isEqual(*other.m_base);
    return !m_name && !other.m_name;
}

void ColorSpace::convertToSRGB8(const uint8_t* in, size_t count, uint8_t* out) const
{
    switch (m_model) {
    case ColorSpaceModel::rgb:
        std::memcpy(out, in, count * 3);
        return;
    case ColorSpaceModel::indexed: {
        if (!m_base)
            break;
        const size_t n = static_cast<size_t>(m_base->numberOfComponents());
        const size_t entries = m_table.size() / n;
        std::vector<uint8_t> expanded(count * n);
        for (size_t i = 0; i < count; ++i) {
            const size_t idx = std::min<size_t>(in[i], entries ? entries - 1 : 0);
            if (entries)
                std::memcpy(&expanded[i * n], &m_table[idx * n], n);
        }
        m_base->convertToSRGB8(expanded.data(), count, out);
        return;
    }
    default:
        break;
    }

    std::call_once(m_transformOnce, [this] { m_toSRGB = Private::makeToSRGB(*this); });
    if (auto t = std::static_pointer_cast<Private::Transform>(m_toSRGB)) {
        cmsDoTransform(t->handle, in, out, static_cast<cmsUInt32Number>(count));
        return;
    }

    switch (m_model) {
    case ColorSpaceModel::monochrome:
        for (size_t i = 0; i < count; ++i)
            out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = in[i];
        return;
    case ColorSpaceModel::cmyk:
        for (size_t i = 0; i < count; ++i) {
            const unsigned k = 255u - in[4 * i + 3];
            for (int c = 0; c < 3; ++c)
                out[3 * i + c] = static_cast<uint8_t>(((255u - in[4 * i + c]) * k + 127) / 255);
        }
        return;
    default:
        std::memset(out, 0, count * 3);
        return;
    }
}

} // namespace graphics
