// The driver's built-in named default sets: two BSON documents, written
// element by element (type byte, name, value; every document starts with
// its length). All numbers are int64, names and identifiers strings, the
// lists arrays. A string literal ends in one more zero than the document,
// which the sizes below leave out.
#include "controls/default_sets.h"

namespace {

// "property_sets" with two sets, both "Neutral" (version 1, seqnum 100):
// the first for most products with the picture neutral, the second for the
// 0x8417 and 0x8457 products with their own sharpness and saturation.
const char builtin_document_1[] =
    "\xFB\x03\x00\x00"  // the document, 1019 bytes
      "\x04" "property_sets\x00"  // array "property_sets"
      "\xE7\x03\x00\x00"  // its length, 999 bytes
        "\x03" "0\x00"  // document "0"
        "\x37\x03\x00\x00"  // its length, 823 bytes
          "\x02" "name\x00" "\x08\x00\x00\x00" "Neutral\x00"
          "\x12" "version\x00" "\x01\x00\x00\x00\x00\x00\x00\x00"  // 1
          "\x12" "seqnum\x00" "\x64\x00\x00\x00\x00\x00\x00\x00"  // 100
          "\x04" "device_identifiers\x00"  // array "device_identifiers"
          "\x78\x00\x00\x00"  // its length, 120 bytes
            "\x02" "0\x00" "\x07\x00\x00\x00" "ICX618\x00"
            "\x02" "1\x00" "\x07\x00\x00\x00" "ICX445\x00"
            "\x02" "2\x00" "\x07\x00\x00\x00" "ICX274\x00"
            "\x02" "3\x00" "\x08\x00\x00\x00" "MT9V024\x00"
            "\x02" "4\x00" "\x08\x00\x00\x00" "MT9M021\x00"
            "\x02" "5\x00" "\x08\x00\x00\x00" "MT9P031\x00"
            "\x02" "6\x00" "\x07\x00\x00\x00" "AR0132\x00"
            "\x02" "7\x00" "\x07\x00\x00\x00" "IMX236\x00"
          "\x00"
          "\x04" "usb_device_identifiers\x00"  // array "usb_device_identifiers"
          "\xD0\x01\x00\x00"  // its length, 464 bytes
            "\x02" "0\x00" "\x12\x00\x00\x00" "ReleaseIMX236Mono\x00"
            "\x02" "1\x00" "\x13\x00\x00\x00" "ReleaseIMX236Color\x00"
            "\x02" "2\x00" "\x05\x00\x00\x00" "840A\x00"
            "\x02" "3\x00" "\x05\x00\x00\x00" "841A\x00"
            "\x02" "4\x00" "\x05\x00\x00\x00" "8401\x00"
            "\x02" "5\x00" "\x05\x00\x00\x00" "8411\x00"
            "\x02" "6\x00" "\x05\x00\x00\x00" "8441\x00"
            "\x02" "7\x00" "\x05\x00\x00\x00" "8451\x00"
            "\x02" "8\x00" "\x05\x00\x00\x00" "8402\x00"
            "\x02" "9\x00" "\x05\x00\x00\x00" "8412\x00"
            "\x02" "10\x00" "\x05\x00\x00\x00" "8442\x00"
            "\x02" "11\x00" "\x05\x00\x00\x00" "8452\x00"
            "\x02" "12\x00" "\x05\x00\x00\x00" "8403\x00"
            "\x02" "13\x00" "\x05\x00\x00\x00" "8413\x00"
            "\x02" "14\x00" "\x05\x00\x00\x00" "8443\x00"
            "\x02" "15\x00" "\x05\x00\x00\x00" "8453\x00"
            "\x02" "16\x00" "\x05\x00\x00\x00" "8404\x00"
            "\x02" "17\x00" "\x05\x00\x00\x00" "8414\x00"
            "\x02" "18\x00" "\x05\x00\x00\x00" "8444\x00"
            "\x02" "19\x00" "\x05\x00\x00\x00" "8454\x00"
            "\x02" "20\x00" "\x05\x00\x00\x00" "8405\x00"
            "\x02" "21\x00" "\x05\x00\x00\x00" "8415\x00"
            "\x02" "22\x00" "\x05\x00\x00\x00" "8445\x00"
            "\x02" "23\x00" "\x05\x00\x00\x00" "8455\x00"
            "\x02" "24\x00" "\x05\x00\x00\x00" "8406\x00"
            "\x02" "25\x00" "\x05\x00\x00\x00" "8416\x00"
            "\x02" "26\x00" "\x05\x00\x00\x00" "8446\x00"
            "\x02" "27\x00" "\x05\x00\x00\x00" "8456\x00"
            "\x02" "28\x00" "\x05\x00\x00\x00" "8448\x00"
            "\x02" "29\x00" "\x05\x00\x00\x00" "8458\x00"
            "\x02" "30\x00" "\x05\x00\x00\x00" "8506\x00"
            "\x02" "31\x00" "\x05\x00\x00\x00" "8516\x00"
            "\x02" "32\x00" "\x05\x00\x00\x00" "8606\x00"
            "\x02" "33\x00" "\x05\x00\x00\x00" "8616\x00"
          "\x00"
          "\x03" "properties\x00"  // document "properties"
          "\x7F\x00\x00\x00"  // its length, 127 bytes
            "\x12" "Sharpness\x00" "\x00\x00\x00\x00\x00\x00\x00\x00"  // 0
            "\x12" "Gamma\x00" "\x64\x00\x00\x00\x00\x00\x00\x00"  // 100
            "\x12" "Denoise\x00" "\x00\x00\x00\x00\x00\x00\x00\x00"  // 0
            "\x12" "Saturation\x00" "\x40\x00\x00\x00\x00\x00\x00\x00"  // 64
            "\x12" "Hue\x00" "\x00\x00\x00\x00\x00\x00\x00\x00"  // 0
            "\x12" "Brightness\x00" "\x00\x00\x00\x00\x00\x00\x00\x00"  // 0
            "\x12" "Contrast\x00" "\x00\x00\x00\x00\x00\x00\x00\x00"  // 0
          "\x00"
        "\x00"
        "\x03" "1\x00"  // document "1"
        "\xA5\x00\x00\x00"  // its length, 165 bytes
          "\x02" "name\x00" "\x08\x00\x00\x00" "Neutral\x00"
          "\x12" "version\x00" "\x01\x00\x00\x00\x00\x00\x00\x00"  // 1
          "\x12" "seqnum\x00" "\x64\x00\x00\x00\x00\x00\x00\x00"  // 100
          "\x04" "usb_device_identifiers\x00"  // array "usb_device_identifiers"
          "\x1D\x00\x00\x00"  // its length, 29 bytes
            "\x02" "0\x00" "\x05\x00\x00\x00" "8417\x00"
            "\x02" "1\x00" "\x05\x00\x00\x00" "8457\x00"
          "\x00"
          "\x03" "properties\x00"  // document "properties"
          "\x2C\x00\x00\x00"  // its length, 44 bytes
            "\x12" "Sharpness\x00" "\x08\x00\x00\x00\x00\x00\x00\x00"  // 8
            "\x12" "Saturation\x00" "\x20\x00\x00\x00\x00\x00\x00\x00"  // 32
          "\x00"
        "\x00"
      "\x00"
    "\x00";
// "property_sets" with one set, "Optimized Defaults" (version 1, seqnum
// 0), for the products with the MT9P031 sensor.
const char builtin_document_2[] =
    "\x5C\x01\x00\x00"  // the document, 348 bytes
      "\x04" "property_sets\x00"  // array "property_sets"
      "\x48\x01\x00\x00"  // its length, 328 bytes
        "\x03" "0\x00"  // document "0"
        "\x40\x01\x00\x00"  // its length, 320 bytes
          "\x02" "name\x00" "\x13\x00\x00\x00" "Optimized Defaults\x00"
          "\x12" "version\x00" "\x01\x00\x00\x00\x00\x00\x00\x00"  // 1
          "\x12" "seqnum\x00" "\x00\x00\x00\x00\x00\x00\x00\x00"  // 0
          "\x04" "device_identifiers\x00"  // array "device_identifiers"
          "\x14\x00\x00\x00"  // its length, 20 bytes
            "\x02" "0\x00" "\x08\x00\x00\x00" "MT9P031\x00"
          "\x00"
          "\x04" "usb_device_identifiers\x00"  // array "usb_device_identifiers"
          "\x65\x00\x00\x00"  // its length, 101 bytes
            "\x02" "0\x00" "\x05\x00\x00\x00" "8406\x00"
            "\x02" "1\x00" "\x05\x00\x00\x00" "8416\x00"
            "\x02" "2\x00" "\x05\x00\x00\x00" "8446\x00"
            "\x02" "3\x00" "\x05\x00\x00\x00" "8456\x00"
            "\x02" "4\x00" "\x05\x00\x00\x00" "8506\x00"
            "\x02" "5\x00" "\x05\x00\x00\x00" "8516\x00"
            "\x02" "6\x00" "\x05\x00\x00\x00" "8606\x00"
            "\x02" "7\x00" "\x05\x00\x00\x00" "8616\x00"
          "\x00"
          "\x03" "properties\x00"  // document "properties"
          "\x4C\x00\x00\x00"  // its length, 76 bytes
            "\x12" "Gamma\x00" "\x50\x00\x00\x00\x00\x00\x00\x00"  // 80
            "\x12" "Sharpness\x00" "\x05\x00\x00\x00\x00\x00\x00\x00"  // 5
            "\x12" "Denoise\x00" "\x07\x00\x00\x00\x00\x00\x00\x00"  // 7
            "\x12" "Saturation\x00" "\x4E\x00\x00\x00\x00\x00\x00\x00"  // 78
          "\x00"
        "\x00"
      "\x00"
    "\x00";

}  // namespace

static_assert(sizeof(builtin_document_1) - 1 == 1019, "built-in document 1 is 1019 bytes");
static_assert(sizeof(builtin_document_2) - 1 == 348, "built-in document 2 is 348 bytes");

const nps_document nps_builtin_documents[2] = {
    {builtin_document_1, sizeof(builtin_document_1) - 1},
    {builtin_document_2, sizeof(builtin_document_2) - 1},
};
