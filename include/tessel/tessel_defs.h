/* Tessel: export macros and the basic types shared by every family of functions. */
#ifndef TESSEL_TESSEL_DEFS_H_
#define TESSEL_TESSEL_DEFS_H_

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(TESSEL_BUILDING_LIBRARY)
#    define CV_API __declspec(dllexport)
#  elif defined(TESSEL_STATIC)
#    define CV_API
#  else
#    define CV_API __declspec(dllimport)
#  endif
#else
#  define CV_API __attribute__((visibility("default")))
#endif

/* Calling-convention slot; empty on every platform built so far. */
#define CV_CALL

#if defined(__GNUC__)
#  define CV_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#  define CV_PRINTF_FORMAT(fmt, args)
#endif

#ifdef __cplusplus
#  define CV_EXTERN_C_BEGIN extern "C" {
#  define CV_EXTERN_C_END }
#else
#  define CV_EXTERN_C_BEGIN
#  define CV_EXTERN_C_END
#endif

/* Identifiers of applications, associations, messages, items, files and DICOMDIRs are signed
 * 32-bit integers; -1 means none and is written back by every release function. */
#define CV_NO_ID (-1)

/* Object kinds of a message object. */
#define CV_KIND_MESSAGE 0
#define CV_KIND_ITEM 1
#define CV_KIND_DICOMDIR 2
#define CV_KIND_FILE 3
#define CV_KIND_SR_ITEM 4

/* Value representation codes. */
typedef enum {
  CV_VR_AE = 0,
  CV_VR_AS,
  CV_VR_CS,
  CV_VR_DA,
  CV_VR_DS,
  CV_VR_DT,
  CV_VR_IS,
  CV_VR_LO,
  CV_VR_LT,
  CV_VR_PN,
  CV_VR_SH,
  CV_VR_ST,
  CV_VR_TM,
  CV_VR_UT,
  CV_VR_UI,
  CV_VR_SS,
  CV_VR_US,
  CV_VR_AT,
  CV_VR_SL,
  CV_VR_UL,
  CV_VR_FL,
  CV_VR_FD,
  CV_VR_UN,
  CV_VR_OB,
  CV_VR_OW,
  CV_VR_OL,
  CV_VR_OF,
  CV_VR_SQ
} CV_VR_CODE;

/* Data types of the value functions. */
typedef enum {
  CV_TYPE_STRING = 0,
  CV_TYPE_INT,
  CV_TYPE_UINT,
  CV_TYPE_SHORT_INT,
  CV_TYPE_USHORT_INT,
  CV_TYPE_LONG_INT,
  CV_TYPE_ULONG_INT,
  CV_TYPE_FLOAT,
  CV_TYPE_DOUBLE,
  CV_TYPE_BUFFER
} CV_DATA_TYPE;

/* Transfer syntax codes. */
typedef enum {
  IMPLICIT_LITTLE_ENDIAN = 100,
  EXPLICIT_LITTLE_ENDIAN = 101,
  EXPLICIT_BIG_ENDIAN = 102,
  IMPLICIT_BIG_ENDIAN = 103,
  DEFLATED_EXPLICIT_LITTLE_ENDIAN = 104,
  RLE = 105,
  JPEG_BASELINE = 106,
  JPEG_EXTENDED_2_4 = 107,
  JPEG_EXTENDED_3_5 = 108,
  JPEG_SPEC_NON_HIER_6_8 = 109,
  JPEG_SPEC_NON_HIER_7_9 = 110,
  JPEG_FULL_PROG_NON_HIER_10_12 = 111,
  JPEG_FULL_PROG_NON_HIER_11_13 = 112,
  JPEG_LOSSLESS_NON_HIER_14 = 113,
  JPEG_LOSSLESS_NON_HIER_15 = 114,
  JPEG_EXTENDED_HIER_16_18 = 115,
  JPEG_EXTENDED_HIER_17_19 = 116,
  JPEG_SPEC_HIER_20_22 = 117,
  JPEG_SPEC_HIER_21_23 = 118,
  JPEG_FULL_PROG_HIER_24_26 = 119,
  JPEG_FULL_PROG_HIER_25_27 = 120,
  JPEG_LOSSLESS_HIER_28 = 121,
  JPEG_LOSSLESS_HIER_29 = 122,
  JPEG_LOSSLESS_HIER_14 = 123,
  JPEG_2000_LOSSLESS_ONLY = 124,
  JPEG_2000 = 125,
  JPEG_LS_LOSSLESS = 126,
  JPEG_LS_LOSSY = 127,
  MPEG2_MPML = 128,
  PRIVATE_SYNTAX_1 = 129,
  PRIVATE_SYNTAX_2 = 130,
  JPEG_2000_MC_LOSSLESS_ONLY = 131,
  JPEG_2000_MC = 132,
  MPEG2_MPHL = 133,
  MPEG4_AVC_H264_HP_LEVEL_4_1 = 134,
  MPEG4_AVC_H264_BDC_HP_LEVEL_4_1 = 135,
  JPIP_REFERENCED = 136,
  JPIP_REFERENCED_DEFLATE = 137
} TRANSFER_SYNTAX;

#endif /* TESSEL_TESSEL_DEFS_H_ */
