#include "korvanth/sources/dicom/dicom_tags.h"

#include <gdcmCSAHeader.h>
#include <gdcmDict.h>
#include <gdcmDicts.h>
#include <gdcmGlobal.h>
#include <gdcmSequenceOfItems.h>

#include <cmath>
#include <cstdlib>

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
