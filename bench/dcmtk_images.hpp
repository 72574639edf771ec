// The DCMTK-written images the benchmarks share: a CT slice header as scanners write it, its
// pixel data in a recognisable pattern, and saving in explicit VR little endian.
#ifndef TESSEL_BENCH_DCMTK_IMAGES_HPP_
#define TESSEL_BENCH_DCMTK_IMAGES_HPP_

#include <cstdint>
#include <cstdio>
#include <string>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <sys/stat.h>

namespace tessel::bench {

inline constexpr uint32_t kRows = 512;
inline constexpr uint32_t kColumns = 512;
inline constexpr uint64_t kFrameBytes = uint64_t{kRows} * kColumns * 2;

inline uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

inline void put(DcmItem& item, const DcmTagKey& key, const char* value) {
  item.putAndInsertString(key, value);
}

inline DcmItem* code_item(const char* value, const char* scheme, const char* meaning) {
  auto* item = new DcmItem();
  put(*item, DCM_CodeValue, value);
  put(*item, DCM_CodingSchemeDesignator, scheme);
  put(*item, DCM_CodeMeaning, meaning);
  return item;
}

inline void put_private(DcmItem& item, Uint16 element, DcmEVR vr, const char* value) {
  item.putAndInsertString(DcmTag(0x0019, element, DcmVR(vr)), value);
}

// The attributes of a CT image header as scanners write them (patient, study, series, equipment,
// acquisition, image plane and pixel description, a referenced image and a private block):
// 100 top-level attributes for a single frame.
inline void put_ct_header(DcmItem& ds, uint32_t frames) {
  put(ds, DCM_SpecificCharacterSet, "ISO_IR 100");
  put(ds, DCM_ImageType, "ORIGINAL\\PRIMARY\\AXIAL");
  put(ds, DCM_InstanceCreationDate, "20240611");
  put(ds, DCM_InstanceCreationTime, "101530.123456");
  put(ds, DCM_SOPClassUID,
      frames > 1 ? UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage : UID_CTImageStorage);
  put(ds, DCM_SOPInstanceUID, "1.2.826.0.1.3680043.8.498.10192837465.1.1");
  put(ds, DCM_StudyDate, "20240611");
  put(ds, DCM_SeriesDate, "20240611");
  put(ds, DCM_AcquisitionDate, "20240611");
  put(ds, DCM_ContentDate, "20240611");
  put(ds, DCM_StudyTime, "101010");
  put(ds, DCM_SeriesTime, "101200");
  put(ds, DCM_AcquisitionTime, "101230.250000");
  put(ds, DCM_ContentTime, "101231.000000");
  put(ds, DCM_AccessionNumber, "A20240611-0042");
  put(ds, DCM_Modality, "CT");
  put(ds, DCM_Manufacturer, "Example Medical Systems");
  put(ds, DCM_InstitutionName, "General Hospital");
  put(ds, DCM_InstitutionAddress, "1 Main Street^Springfield");
  put(ds, DCM_ReferringPhysicianName, "Smith^John^^Dr.");
  put(ds, DCM_StationName, "CTSCAN01");
  put(ds, DCM_StudyDescription, "CT CHEST ABDOMEN PELVIS W CONTRAST");
  put(ds, DCM_SeriesDescription, "AXIAL 1.0 SOFT TISSUE");
  put(ds, DCM_InstitutionalDepartmentName, "Radiology");
  put(ds, DCM_OperatorsName, "Tech^Terry");
  put(ds, DCM_ManufacturerModelName, "Scanner 128");
  auto* reference = new DcmItem();
  put(*reference, DCM_ReferencedSOPClassUID, UID_CTImageStorage);
  put(*reference, DCM_ReferencedSOPInstanceUID, "1.2.826.0.1.3680043.8.498.10192837465.0.1");
  ds.insertSequenceItem(DCM_ReferencedImageSequence, reference);
  put(ds, DCM_PatientName, "Doe^Jane^Q");
  put(ds, DCM_PatientID, "PID-000123456");
  put(ds, DCM_IssuerOfPatientID, "GH");
  put(ds, DCM_PatientBirthDate, "19610203");
  put(ds, DCM_PatientSex, "F");
  put(ds, DCM_PatientAge, "063Y");
  put(ds, DCM_PatientSize, "1.68");
  put(ds, DCM_PatientWeight, "64.5");
  put(ds, DCM_ContrastBolusAgent, "IOHEXOL 350");
  put(ds, DCM_BodyPartExamined, "CHEST");
  put(ds, DCM_ScanOptions, "HELICAL MODE");
  put(ds, DCM_SliceThickness, "1.000000");
  put(ds, DCM_KVP, "120");
  put(ds, DCM_SpacingBetweenSlices, "1.000000");
  put(ds, DCM_DataCollectionDiameter, "500.000000");
  put(ds, DCM_DeviceSerialNumber, "SN123456");
  put(ds, DCM_SoftwareVersions, "VB20A\\SP3");
  put(ds, DCM_ProtocolName, "CAP_CONTRAST_1.0");
  put(ds, DCM_ReconstructionDiameter, "380.000000");
  put(ds, DCM_DistanceSourceToDetector, "1085.600000");
  put(ds, DCM_DistanceSourceToPatient, "595.000000");
  put(ds, DCM_GantryDetectorTilt, "0.000000");
  put(ds, DCM_TableHeight, "152.000000");
  put(ds, DCM_RotationDirection, "CW");
  put(ds, DCM_ExposureTime, "500");
  put(ds, DCM_XRayTubeCurrent, "215");
  put(ds, DCM_Exposure, "108");
  put(ds, DCM_FilterType, "BODY FILTER");
  put(ds, DCM_GeneratorPower, "26");
  put(ds, DCM_FocalSpots, "1.200000");
  put(ds, DCM_DateOfLastCalibration, "20240610");
  put(ds, DCM_TimeOfLastCalibration, "063000");
  put(ds, DCM_ConvolutionKernel, "B30f");
  put(ds, DCM_PatientPosition, "FFS");
  put(ds, DCM_RevolutionTime, "0.5");
  put(ds, DCM_SingleCollimationWidth, "0.6");
  put(ds, DCM_TotalCollimationWidth, "38.4");
  put(ds, DCM_TableSpeed, "46.1");
  put(ds, DCM_TableFeedPerRotation, "23.0");
  put(ds, DCM_SpiralPitchFactor, "0.6");
  put(ds, DCM_StudyInstanceUID, "1.2.826.0.1.3680043.8.498.10192837465");
  put(ds, DCM_SeriesInstanceUID, "1.2.826.0.1.3680043.8.498.10192837465.1");
  put(ds, DCM_StudyID, "42");
  put(ds, DCM_SeriesNumber, "3");
  put(ds, DCM_AcquisitionNumber, "1");
  put(ds, DCM_InstanceNumber, "117");
  put(ds, DCM_ImagePositionPatient, "-189.628906\\-364.628906\\-117.500000");
  put(ds, DCM_ImageOrientationPatient,
      "1.000000\\0.000000\\0.000000\\0.000000\\1.000000\\0.000000");
  put(ds, DCM_FrameOfReferenceUID, "1.2.826.0.1.3680043.8.498.10192837465.2");
  put(ds, DCM_PositionReferenceIndicator, "SN");
  put(ds, DCM_SliceLocation, "-117.500000");
  ds.putAndInsertUint16(DCM_SamplesPerPixel, 1);
  put(ds, DCM_PhotometricInterpretation, "MONOCHROME2");
  if (frames > 1) {
    put(ds, DCM_NumberOfFrames, std::to_string(frames).c_str());
    ds.putAndInsertTagKey(DCM_FrameIncrementPointer, DCM_FrameTime);
    put(ds, DCM_FrameTime, "33.3");
  }
  ds.putAndInsertUint16(DCM_Rows, kRows);
  ds.putAndInsertUint16(DCM_Columns, kColumns);
  put(ds, DCM_PixelSpacing, "0.742187\\0.742187");
  ds.putAndInsertUint16(DCM_BitsAllocated, 16);
  ds.putAndInsertUint16(DCM_BitsStored, 12);
  ds.putAndInsertUint16(DCM_HighBit, 11);
  ds.putAndInsertUint16(DCM_PixelRepresentation, 0);
  put(ds, DCM_WindowCenter, "40\\400");
  put(ds, DCM_WindowWidth, "400\\1500");
  put(ds, DCM_RescaleIntercept, "-1024");
  put(ds, DCM_RescaleSlope, "1");
  put(ds, DCM_RescaleType, "HU");
  put(ds, DCM_WindowCenterWidthExplanation, "WINDOW1\\WINDOW2");
  put(ds, DCM_LossyImageCompression, "00");
  put(ds, DCM_RequestingPhysician, "Jones^Alice");
  put(ds, DCM_RequestedProcedureDescription, "CT CAP");
  put(ds, DCM_PerformedProcedureStepStartDate, "20240611");
  put(ds, DCM_PerformedProcedureStepStartTime, "101000");
  put(ds, DCM_PerformedProcedureStepID, "PPS0042");
  put(ds, DCM_PerformedProcedureStepDescription, "CT CHEST ABDOMEN PELVIS");
  ds.putAndInsertString(DcmTag(0x0019, 0x0010, DcmVR(EVR_LO)), "EXAMPLE CT 1.0");
  put_private(ds, 0x1001, EVR_LO, "RECON_A");
  put_private(ds, 0x1002, EVR_DS, "0.75");
  put_private(ds, 0x1003, EVR_SH, "SEQ01");
  put_private(ds, 0x1004, EVR_DS, "12.5\\13.5");
  put_private(ds, 0x1005, EVR_LO, "DOSE MODULATION ON");
  put_private(ds, 0x1006, EVR_SH, "TUBE2");
}

// Pixel values in a repeating pattern, so that a value read in the wrong place shows.
inline void fill_pixels(Uint16* pixels, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i)
    pixels[i] = static_cast<Uint16>((i * 37 + (i >> 9)) & 0x0FFF);
}

// Pixel data of `frames` frames in the pattern of fill_pixels.
inline bool add_pixels(DcmItem& ds, uint32_t frames) {
  auto* pixel_data = new DcmPixelData(DCM_PixelData);
  pixel_data->setVR(EVR_OW);
  Uint16* pixels = nullptr;
  const uint64_t count = kFrameBytes / 2 * frames;
  if (pixel_data->createUint16Array(static_cast<Uint32>(count), pixels).bad()) {
    delete pixel_data;
    return false;
  }
  fill_pixels(pixels, count);
  return ds.insert(pixel_data).good();
}

// The meta header follows the data set, whose SOP Instance UID may change between saves.
inline bool save(DcmFileFormat& file, const std::string& path) {
  const OFCondition saved =
      file.saveFile(path.c_str(), EXS_LittleEndianExplicit, EET_ExplicitLength, EGL_recalcGL,
                    EPD_noChange, 0, 0, EWM_updateMeta);
  if (saved.bad()) std::fprintf(stderr, "DCMTK cannot write %s: %s\n", path.c_str(), saved.text());
  return saved.good();
}

}  // namespace tessel::bench

#endif  // TESSEL_BENCH_DCMTK_IMAGES_HPP_
