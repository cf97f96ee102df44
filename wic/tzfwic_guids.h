/* The identifiers of the TZF WIC codec, shared by the DLL and its tests. */
#ifndef TZF_WIC_GUIDS_H
#define TZF_WIC_GUIDS_H

#include <windows.h>

/* The decoder's class. */
static const GUID TZF_CLSID_WICDecoder = {
    0x8b548b42, 0x9d90, 0x4b4a, {0x95, 0x60, 0x25, 0x83, 0xe8, 0xd4, 0x08, 0x16}};
#define TZF_CLSID_WICDecoder_TEXT L"{8B548B42-9D90-4B4A-9560-2583E8D40816}"

/* The container format TZF pictures are. */
static const GUID TZF_GUID_ContainerFormat = {
    0xce22ae28, 0x42c3, 0x48ec, {0xbf, 0xa2, 0xfa, 0x42, 0xa0, 0x21, 0xde, 0xed}};
#define TZF_GUID_ContainerFormat_TEXT L"{CE22AE28-42C3-48EC-BFA2-FA42A021DEED}"

/* The tzf-filter developers as a vendor. */
static const GUID TZF_GUID_Vendor = {
    0x93c22a29, 0x4045, 0x4834, {0x93, 0x36, 0x6a, 0x87, 0x2b, 0xfe, 0x34, 0xbc}};
#define TZF_GUID_Vendor_TEXT L"{93C22A29-4045-4834-9336-6A872BFE34BC}"

#define TZF_WIC_FRIENDLY_NAME L"TZF Decoder"
#define TZF_WIC_MIME_TYPE L"image/x-tzf"
#define TZF_WIC_EXTENSION L".tzf"

#endif
