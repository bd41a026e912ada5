// Host stand-in for the Windows header ksmedia.h: the video format records
// (bitmap header, video info header, stream configuration capabilities,
// video data range, frame info) and the video capture property sets, with
// the real names and x64 layouts.
#pragma once

#include "ks.h"

// ---- Win32 basics used by the media records (windef.h on Windows) ------------------
#ifndef _WINDEF_
typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE, *PSIZE, *LPSIZE;
typedef DWORD COLORREF;
#endif

// GUID initialiser lists, as the real headers spell them (STATIC_<name>).
#define STATIC_KSDATAFORMAT_TYPE_VIDEO \
  0x73646976L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO \
  0x05589f80L, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a
#define STATIC_PINNAME_VIDEO_CAPTURE \
  0xfb6c4281L, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba
#define STATIC_KSCATEGORY_VIDEO \
  0x6994ad05L, 0x93ef, 0x11d0, 0xa3, 0xcc, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96
#define STATIC_KSCATEGORY_CAPTURE \
  0x65e8773dL, 0x8f56, 0x11d0, 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96
#define STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP \
  0xc6e13360L, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56
#define STATIC_PROPSETID_VIDCAP_CAMERACONTROL \
  0xc6e13370L, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56
#define STATIC_PROPSETID_VIDCAP_VIDEOCONTROL \
  0x6a2e0670L, 0x28e4, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56
#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES \
  0xc6e13344L, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56

EXTERN_C const GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO;
EXTERN_C const GUID PINNAME_VIDEO_CAPTURE;
EXTERN_C const GUID PROPSETID_VIDCAP_VIDEOPROCAMP;
EXTERN_C const GUID PROPSETID_VIDCAP_CAMERACONTROL;
EXTERN_C const GUID PROPSETID_VIDCAP_VIDEOCONTROL;
EXTERN_C const GUID PROPSETID_VIDCAP_DROPPEDFRAMES;

// ---- bitmap and video info headers -------------------------------------------------
typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER layout");

#define KS_BI_RGB 0L
#define KS_BI_RLE8 1L
#define KS_BI_RLE4 2L
#define KS_BI_BITFIELDS 3L

typedef struct tagKS_RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} KS_RGBQUAD, *PKS_RGBQUAD;

#define KS_iPALETTE_COLORS 256
#define KS_iEGA_COLORS 16
#define KS_iMASK_COLORS 3
#define KS_iTRUECOLOR 16
#define KS_iRED 0
#define KS_iGREEN 1
#define KS_iBLUE 2
#define KS_SIZE_PREHEADER (FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader))

typedef struct tagKS_TRUECOLORINFO {
  DWORD dwBitMasks[KS_iMASK_COLORS];
  KS_RGBQUAD bmiColors[KS_iPALETTE_COLORS];
} KS_TRUECOLORINFO, *PKS_TRUECOLORINFO;

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER layout");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "KS_VIDEOINFOHEADER layout");

// A video info header with room for a palette or the three colour masks.
typedef struct tagKS_VIDEOINFO {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
  union {
    KS_RGBQUAD bmiColors[KS_iPALETTE_COLORS];
    DWORD dwBitMasks[KS_iMASK_COLORS];
    KS_TRUECOLORINFO TrueColorInfo;
  };
} KS_VIDEOINFO, *PKS_VIDEOINFO;
static_assert(sizeof(KS_VIDEOINFO) == 1128, "KS_VIDEOINFO layout");

// ---- stream configuration capabilities and the video data range -----------------------
typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS layout");

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO layout");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "KS_DATARANGE_VIDEO layout");

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER layout");

#define KS_VIDEOSTREAM_PREVIEW 0x0001
#define KS_VIDEOSTREAM_CAPTURE 0x0002
#define KS_VIDEOSTREAM_VBI 0x0010
#define KS_VIDEOSTREAM_STILL 0x1000

// ---- frame info following a video stream header --------------------------------------
typedef struct tagKS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  DWORD dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  RECT DirectDrawRect;
  union {
    LONG lSurfacePitch;
    DWORD Reserved1;
  };
  DWORD Reserved2;
  union {
    struct {
      DWORD Reserved3;
      DWORD Reserved4;
    };
    ULONGLONG FrameCompletionNumber;
  };
} KS_FRAME_INFO, *PKS_FRAME_INFO;
static_assert(sizeof(PVOID) != 8 || sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO layout");

#define KS_VIDEO_FLAG_FRAME 0x0000L
#define KS_VIDEO_FLAG_FIELD1 0x0001L
#define KS_VIDEO_FLAG_FIELD2 0x0002L
#define KS_VIDEO_FLAG_I_FRAME 0x0000L
#define KS_VIDEO_FLAG_P_FRAME 0x0010L
#define KS_VIDEO_FLAG_B_FRAME 0x0020L

// ---- dropped frames ------------------------------------------------------------------
typedef enum {
  KSPROPERTY_DROPPEDFRAMES_CURRENT
} KSPROPERTY_VIDCAP_DROPPEDFRAMES;

typedef struct {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48,
              "KSPROPERTY_DROPPEDFRAMES_CURRENT_S layout");

// ---- video processing amplifier ----------------------------------------------------------
typedef enum {
  KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
  KSPROPERTY_VIDEOPROCAMP_CONTRAST,
  KSPROPERTY_VIDEOPROCAMP_HUE,
  KSPROPERTY_VIDEOPROCAMP_SATURATION,
  KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
  KSPROPERTY_VIDEOPROCAMP_GAMMA,
  KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
  KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
  KSPROPERTY_VIDEOPROCAMP_GAIN,
  KSPROPERTY_VIDEOPROCAMP_DIGITAL_MULTIPLIER,
  KSPROPERTY_VIDEOPROCAMP_DIGITAL_MULTIPLIER_LIMIT,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT,
  KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

typedef struct {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "KSPROPERTY_VIDEOPROCAMP_S layout");

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001L
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002L

// ---- camera control --------------------------------------------------------------------
typedef enum {
  KSPROPERTY_CAMERACONTROL_PAN,
  KSPROPERTY_CAMERACONTROL_TILT,
  KSPROPERTY_CAMERACONTROL_ROLL,
  KSPROPERTY_CAMERACONTROL_ZOOM,
  KSPROPERTY_CAMERACONTROL_EXPOSURE,
  KSPROPERTY_CAMERACONTROL_IRIS,
  KSPROPERTY_CAMERACONTROL_FOCUS,
  KSPROPERTY_CAMERACONTROL_SCANMODE,
  KSPROPERTY_CAMERACONTROL_PRIVACY,
  KSPROPERTY_CAMERACONTROL_PANTILT,
  KSPROPERTY_CAMERACONTROL_PAN_RELATIVE,
  KSPROPERTY_CAMERACONTROL_TILT_RELATIVE,
  KSPROPERTY_CAMERACONTROL_ROLL_RELATIVE,
  KSPROPERTY_CAMERACONTROL_ZOOM_RELATIVE,
  KSPROPERTY_CAMERACONTROL_EXPOSURE_RELATIVE,
  KSPROPERTY_CAMERACONTROL_IRIS_RELATIVE,
  KSPROPERTY_CAMERACONTROL_FOCUS_RELATIVE,
  KSPROPERTY_CAMERACONTROL_PANTILT_RELATIVE,
  KSPROPERTY_CAMERACONTROL_FOCAL_LENGTH
} KSPROPERTY_VIDCAP_CAMERACONTROL;

typedef struct {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
} KSPROPERTY_CAMERACONTROL_S, *PKSPROPERTY_CAMERACONTROL_S;
static_assert(sizeof(KSPROPERTY_CAMERACONTROL_S) == 40, "KSPROPERTY_CAMERACONTROL_S layout");

#define KSPROPERTY_CAMERACONTROL_FLAGS_AUTO 0x0001L
#define KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL 0x0002L
#define KSPROPERTY_CAMERACONTROL_FLAGS_ABSOLUTE 0x0000L
#define KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE 0x0010L

// ---- video control ---------------------------------------------------------------------
typedef enum {
  KSPROPERTY_VIDEOCONTROL_CAPS,
  KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES,
  KSPROPERTY_VIDEOCONTROL_MODE
} KSPROPERTY_VIDCAP_VIDEOCONTROL;

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG VideoControlCaps;
} KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32, "KSPROPERTY_VIDEOCONTROL_CAPS_S layout");

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Mode;
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32, "KSPROPERTY_VIDEOCONTROL_MODE_S layout");

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  SIZE Dimensions;
  LONGLONG CurrentActualFrameRate;
  LONGLONG CurrentMaxAvailableFrameRate;
} KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, *PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56,
              "KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S layout");

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  SIZE Dimensions;
} KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S, *PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40,
              "KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S layout");

#define KS_VideoControlFlag_FlipHorizontal 0x0001
#define KS_VideoControlFlag_FlipVertical 0x0002
#define KS_VideoControlFlag_ExternalTriggerEnable 0x0004
#define KS_VideoControlFlag_Trigger 0x0008
