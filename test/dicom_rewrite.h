// DICOM files of another series made from the shared ones: the same
// images with some of their values rewritten (series, study, image type,
// echo...), as a scanner writes a session's other series.
#pragma once

#include <gtest/gtest.h>

#include <gdcmDicts.h>
#include <gdcmGlobal.h>
#include <gdcmReader.h>
#include <gdcmWriter.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace korvanth_test {

using DicomValues = std::vector<std::pair<gdcm::Tag, std::string>>;

// Copies `from` to `to` with the string values `values` in place of its own.
inline void rewriteDicom(const std::filesystem::path& from, const std::filesystem::path& to,
                         const DicomValues& values) {
    gdcm::Reader reader;
    reader.SetFileName(from.string().c_str());
    ASSERT_TRUE(reader.Read()) << from;
    for (const auto& [tag, value] : values) {
        gdcm::DataElement e(tag);
        const gdcm::VR vr = gdcm::Global::GetInstance().GetDicts().GetDictEntry(tag).GetVR();
        e.SetVR(vr);
        const std::string even = value.size() % 2 == 0 ? value : value + (vr == gdcm::VR::UI ? '\0' : ' ');
        e.SetByteValue(even.c_str(), static_cast<uint32_t>(even.size()));
        reader.GetFile().GetDataSet().Replace(e);
    }
    gdcm::Writer writer;
    writer.SetFile(reader.GetFile());
    writer.SetFileName(to.string().c_str());
    ASSERT_TRUE(writer.Write()) << to;
}

}  // namespace korvanth_test
