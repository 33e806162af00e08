// Reading values out of a parsed DICOM data set (GDCM): text and numbers of
// standard elements, sequence items, the Siemens CSA header. Shared by the
// layouts' readers (dicom_layouts.h); values absent or malformed come back
// empty, never as an exception.
#pragma once

#include "korvanth/sources/dicom/dicom_file.h"

#include <gdcmDataSet.h>
#include <gdcmPrivateTag.h>
#include <gdcmTag.h>

#include <string>
#include <vector>

namespace korvanth::dicom {

// The value of a text element (IS, DS, CS, UI, ...) without its padding.
std::string text(const gdcm::DataSet& ds, const gdcm::Tag& tag);
// The backslash-separated numbers of a text; empty when any is malformed.
std::vector<double> numbersIn(const std::string& s);
std::vector<double> numbers(const gdcm::DataSet& ds, const gdcm::Tag& tag);
int64_t integerOr(const gdcm::DataSet& ds, const gdcm::Tag& tag, int64_t fallback);
// A private element, found by its creator.
int64_t integerOr(const gdcm::DataSet& ds, const gdcm::PrivateTag& tag, int64_t fallback);
// The first `count` numbers of `tag` in the first item of sequence `group`
// of `item`; empty when missing.
std::vector<double> inGroup(const gdcm::DataSet& item, const gdcm::Tag& group, const gdcm::Tag& tag);
// The data sets of the items of sequence `tag` (copies).
std::vector<gdcm::DataSet> items(const gdcm::DataSet& ds, const gdcm::Tag& tag);
// A value of the Siemens CSA image header, as numbers (empty when absent).
std::vector<double> csaNumbers(const gdcm::DataSet& ds, const char* name);
// The text of the Siemens protocol (CSA series header, "MrPhoenixProtocol").
std::string siemensProtocol(const gdcm::DataSet& ds);

bool unitVector(Vec3& v);
Vec3 cross(const Vec3& a, const Vec3& b);
double dot(const Vec3& a, const Vec3& b);

// A DICOM time (TM, "HHMMSS.FFFFFF" or "HH:MM:SS"), date (DA, "YYYYMMDD")
// or date and time (DT) in seconds: of the day, or from 1970 with a date.
// Negative when the value is empty or not of its form.
double timeOfDaySeconds(const std::string& tm);
double dateSeconds(const std::string& da);
double dateTimeSeconds(const std::string& dt);
// When the image was acquired: its acquisition date and time, else its
// acquisition time, else its content time (each with its date where
// recorded); negative when none is recorded.
double acquisitionSecondsOf(const gdcm::DataSet& ds);

namespace tags {
const gdcm::Tag imageType(0x0008, 0x0008), seriesDescription(0x0008, 0x103e), protocolName(0x0018, 0x1030),
    studyUid(0x0020, 0x000d), seriesUid(0x0020, 0x000e), echoNumber(0x0018, 0x0086), seriesNumber(0x0020, 0x0011),
    acquisitionNumber(0x0020, 0x0012), instanceNumber(0x0020, 0x0013), position(0x0020, 0x0032),
    orientation(0x0020, 0x0037), temporalPosition(0x0020, 0x0100), imagesInAcquisition(0x0020, 0x1002),
    pixelSpacing(0x0028, 0x0030), sliceThickness(0x0018, 0x0050), sliceSpacing(0x0018, 0x0088),
    repetitionTime(0x0018, 0x0080), rescaleIntercept(0x0028, 0x1052), rescaleSlope(0x0028, 0x1053),
    pixelData(0x7fe0, 0x0010), rows(0x0028, 0x0010), columns(0x0028, 0x0011), bitsAllocated(0x0028, 0x0100),
    frames(0x0028, 0x0008), samplesPerPixel(0x0028, 0x0002), sharedGroups(0x5200, 0x9229),
    perFrameGroups(0x5200, 0x9230), planePosition(0x0020, 0x9113), planeOrientation(0x0020, 0x9116),
    pixelMeasures(0x0028, 0x9110), mrTiming(0x0018, 0x9112), frameContent(0x0020, 0x9111),
    temporalPositionIndex(0x0020, 0x9128), dimensionIndexValues(0x0020, 0x9157),
    pixelValueTransformation(0x0028, 0x9145), stackPosition(0x0020, 0x9057), acquisitionDateTime(0x0008, 0x002a),
    acquisitionDate(0x0008, 0x0022), acquisitionTime(0x0008, 0x0032), contentDate(0x0008, 0x0023),
    contentTime(0x0008, 0x0033), frameAcquisitionDateTime(0x0018, 0x9074);
// GE: the slice positions of one volume (images in acquisition counts every
// phase of a multiphase series).
const gdcm::PrivateTag geLocationsInAcquisition(0x0021, 0x4f, "GEMS_RELA_01");
}  // namespace tags

}  // namespace korvanth::dicom
