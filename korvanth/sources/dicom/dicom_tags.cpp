#include "korvanth/sources/dicom/dicom_tags.h"

#include <gdcmCSAHeader.h>
#include <gdcmDict.h>
#include <gdcmDicts.h>
#include <gdcmGlobal.h>
#include <gdcmSequenceOfItems.h>

#include <cmath>
#include <cstdlib>
#include <utility>

namespace korvanth::dicom {

std::string text(const gdcm::DataSet& ds, const gdcm::Tag& tag) {
    if (!ds.FindDataElement(tag)) return {};
    const gdcm::ByteValue* value = ds.GetDataElement(tag).GetByteValue();
    if (value == nullptr || value->GetPointer() == nullptr) return {};
    std::string s(value->GetPointer(), value->GetLength());
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(s.begin());
    return s;
}

std::vector<double> numbersIn(const std::string& s) {
    std::vector<double> values;
    const char* p = s.c_str();
    while (*p == ' ') ++p;
    while (*p != '\0') {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || !std::isfinite(v)) return {};
        values.push_back(v);
        p = end;
        while (*p == ' ' || *p == '\0') {
            if (*p == '\0') return values;
            ++p;
        }
        if (*p != '\\') return {};
        ++p;
        while (*p == ' ') ++p;
    }
    return values;
}

std::vector<double> numbers(const gdcm::DataSet& ds, const gdcm::Tag& tag) { return numbersIn(text(ds, tag)); }

namespace {
template <typename T>
bool binary(const gdcm::ByteValue& value, int64_t& out) {
    if (value.GetLength() != sizeof(T)) return false;
    T v = 0;
    value.GetBuffer(reinterpret_cast<char*>(&v), sizeof(T));
    out = v;
    return true;
}
}  // namespace

int64_t integerOr(const gdcm::DataSet& ds, const gdcm::Tag& tag, int64_t fallback) {
    if (!ds.FindDataElement(tag)) return fallback;
    const gdcm::DataElement& e = ds.GetDataElement(tag);
    const gdcm::ByteValue* value = e.GetByteValue();
    // Binary integers (US, UL, SS, SL, in this machine's order once read);
    // in an implicit-VR file the dictionary tells, the private one by the
    // element's creator.
    gdcm::VR vr = e.GetVR();
    if (vr == gdcm::VR::INVALID || vr == gdcm::VR::UN) {
        const gdcm::Dicts& dicts = gdcm::Global::GetInstance().GetDicts();
        const std::string creator = tag.IsPrivate() ? ds.GetPrivateCreator(tag) : std::string();
        vr = creator.empty() ? dicts.GetDictEntry(tag).GetVR() : dicts.GetDictEntry(tag, creator.c_str()).GetVR();
    }
    if (vr == gdcm::VR::UL || vr == gdcm::VR::US || vr == gdcm::VR::SL || vr == gdcm::VR::SS) {
        int64_t v = fallback;
        const bool read = value != nullptr && (vr == gdcm::VR::UL   ? binary<uint32_t>(*value, v)
                                               : vr == gdcm::VR::US ? binary<uint16_t>(*value, v)
                                               : vr == gdcm::VR::SL ? binary<int32_t>(*value, v)
                                                                    : binary<int16_t>(*value, v));
        return read ? v : fallback;
    }
    const std::vector<double> v = numbers(ds, tag);
    return v.size() == 1 && std::fabs(v[0]) < 2.0e9 ? static_cast<int64_t>(v[0]) : fallback;
}

int64_t integerOr(const gdcm::DataSet& ds, const gdcm::PrivateTag& tag, int64_t fallback) {
    return ds.FindDataElement(tag) ? integerOr(ds, ds.GetDataElement(tag).GetTag(), fallback) : fallback;
}

std::vector<gdcm::DataSet> items(const gdcm::DataSet& ds, const gdcm::Tag& tag) {
    std::vector<gdcm::DataSet> found;
    if (!ds.FindDataElement(tag)) return found;
    const gdcm::SmartPointer<gdcm::SequenceOfItems> sq = ds.GetDataElement(tag).GetValueAsSQ();
    for (gdcm::SequenceOfItems::SizeType i = 1; sq && i <= sq->GetNumberOfItems(); ++i)
        found.push_back(sq->GetItem(i).GetNestedDataSet());
    return found;
}

std::vector<double> inGroup(const gdcm::DataSet& item, const gdcm::Tag& group, const gdcm::Tag& tag) {
    const std::vector<gdcm::DataSet> inner = items(item, group);
    return inner.empty() ? std::vector<double>{} : numbers(inner.front(), tag);
}

std::vector<double> csaNumbers(const gdcm::DataSet& ds, const char* name) {
    gdcm::CSAHeader csa;
    const gdcm::PrivateTag& tag = gdcm::CSAHeader::GetCSAImageHeaderInfoTag();
    if (!ds.FindDataElement(tag) || !csa.LoadFromDataElement(ds.GetDataElement(tag))) return {};
    if (!csa.FindCSAElementByName(name)) return {};
    const gdcm::CSAElement& element = csa.GetCSAElementByName(name);
    const gdcm::ByteValue* value = element.GetByteValue();
    if (element.IsEmpty() || value == nullptr || value->GetPointer() == nullptr) return {};
    // The CSA header stores every value as text, items separated by '\'.
    std::string s(value->GetPointer(), value->GetLength());
    for (char& c : s)
        if (c == '\0') c = ' ';
    return numbersIn(s);
}

std::string siemensProtocol(const gdcm::DataSet& ds) {
    gdcm::CSAHeader csa;
    const gdcm::PrivateTag& tag = gdcm::CSAHeader::GetCSASeriesHeaderInfoTag();
    if (!ds.FindDataElement(tag) || !csa.LoadFromDataElement(ds.GetDataElement(tag))) return {};
    if (!csa.FindCSAElementByName("MrPhoenixProtocol")) return {};
    const gdcm::ByteValue* value = csa.GetCSAElementByName("MrPhoenixProtocol").GetByteValue();
    return value == nullptr || value->GetPointer() == nullptr ? std::string{}
                                                              : std::string(value->GetPointer(), value->GetLength());
}

bool unitVector(Vec3& v) {
    const double length = std::sqrt(dot(v, v));
    if (!(length > 0.5 && length < 1.5)) return false;
    for (double& x : v) x /= length;
    return true;
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace korvanth::dicom

namespace korvanth::dicom {

namespace {
// The `count` digits of `s` at `at` as a number; -1 when they are not all digits.
int64_t digits(const std::string& s, std::size_t at, std::size_t count) {
    if (at + count > s.size()) return -1;
    int64_t n = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        n = n * 10 + (s[i] - '0');
    }
    return n;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t daysFromEpoch(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}
}  // namespace

double timeOfDaySeconds(const std::string& tm) {
    std::string t;
    for (const char c : tm)
        if (c != ':') t.push_back(c);
    const int64_t h = digits(t, 0, 2);
    if (h < 0 || h > 23) return -1.0;
    const int64_t m = t.size() >= 4 ? digits(t, 2, 2) : 0;
    const int64_t s = t.size() >= 6 ? digits(t, 4, 2) : 0;
    if (m < 0 || m > 59 || s < 0 || s > 60) return -1.0;
    double fraction = 0.0;
    if (t.size() > 6) {
        if (t[6] != '.') return -1.0;
        double scale = 0.1;
        for (std::size_t i = 7; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, scale /= 10.0)
            fraction += (t[i] - '0') * scale;
    }
    return static_cast<double>(h * 3600 + m * 60 + s) + fraction;
}

double dateSeconds(const std::string& da) {
    const int64_t y = digits(da, 0, 4), m = digits(da, 4, 2), d = digits(da, 6, 2);
    if (y < 0 || m < 1 || m > 12 || d < 1 || d > 31) return -1.0;
    return static_cast<double>(daysFromEpoch(y, m, d)) * 86400.0;
}

double dateTimeSeconds(const std::string& dt) {
    // The offset from UTC (&ZZXX) is dropped: a series is stamped in one zone.
    const std::string value = dt.substr(0, dt.find_first_of("+-"));
    const double date = dateSeconds(value);
    if (date < 0.0 || value.size() <= 8) return -1.0;
    const double time = timeOfDaySeconds(value.substr(8));
    return time < 0.0 ? -1.0 : date + time;
}

double acquisitionSecondsOf(const gdcm::DataSet& ds) {
    const double stamped = dateTimeSeconds(text(ds, tags::acquisitionDateTime));
    if (stamped >= 0.0) return stamped;
    for (const auto& [date, time] :
         {std::pair{tags::acquisitionDate, tags::acquisitionTime}, std::pair{tags::contentDate, tags::contentTime}}) {
        const double of = timeOfDaySeconds(text(ds, time));
        if (of < 0.0) continue;
        const double day = dateSeconds(text(ds, date));
        return day >= 0.0 ? day + of : of;
    }
    return -1.0;
}

}  // namespace korvanth::dicom
