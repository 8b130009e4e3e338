/* velk.h - the device library: all device I/O of the tool set.
 *
 * C ABI. Every operation returns an int: nonzero = success, 0 = failure. A
 * failure never throws, never crashes and never writes outside the buffers
 * and stores named by the call: out-of-range indexes (device/LUN, chip, block,
 * page, LBA, EEPROM word), transfers that would run past the end of a store
 * and NULL where a pointer is required all return 0 with nothing changed.
 * The list constructors return a handle, NULL when no attached device matches.
 *
 * Handles. A handle lists the devices that matched when it was created. Index
 * idx addresses a LUN of the first listed device for the LUN operations
 * (capacity, LBA I/O, media type, format) and the first listed device itself
 * for the device operations (flash, EEPROM, ROM, firmware): callers pass 0.
 * When the device leaves the bus (unplug, safe removal, ROM erase) the handle
 * stays valid and safe: every call on it returns 0 until it is destroyed; a
 * new list sees the device again once it is back.
 *
 * Room on the disk. The simulated device keeps its stores in sparse files: a
 * write into space never written before needs room on the file system that
 * holds the bus. A sector write, page program or bad mark that cannot get it
 * returns 0 and changes nothing (a format stops there and returns 0); the
 * device stays usable, and reads, erases and writes over space already used
 * go on working. Should a
 * store fail under the library all the same (a store file cut short by
 * another program), every later call on that handle returns 0.
 *
 * OpenDevice/CloseDevice bracket accesses; the library keeps its stores
 * mapped for the life of the handle, so they cost nothing and the other
 * operations work without them too.
 *
 * Progress, abort and status bytes passed by address are written (progress,
 * status) or polled (abort) by the library during the call while another
 * thread reads or sets them; both sides must access them atomically
 * (std::atomic_ref<uint8_t> in C++).
 *
 * Records. VelkGetDriveInfo and VelkGetFlashInfo hand back library-owned
 * arrays that stay valid until the handle is destroyed; a later query of the
 * same handle rewrites them in place. "Pointer" fields in them are 32-bit
 * byte offsets from the first byte of element/entry 0 of the array that
 * holds them to the target inside the same block (0 = none). Programs read
 * them through the helpers of device/records.h.
 */
#ifndef VELK_H
#define VELK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VELK_DEFAULT(v) = v
extern "C" {
#else
#define VELK_DEFAULT(v)
#endif

/* ---- records ------------------------------------------------------------ */

/* Media/slot bits of DRIVE_INFO_COMMON.MediaFlags and VelkGetLunMediaType. */
enum {
    VELK_MEDIA_XD = 0x01,
    VELK_MEDIA_FLASH = 0x02,
    VELK_MEDIA_IDE = 0x08,
    VELK_MEDIA_CF = 0x10,
    VELK_MEDIA_SM = 0x20,
    VELK_MEDIA_SDMMC = 0x40,
    VELK_MEDIA_MS = 0x80
};

/* One drive (LUN) of the first listed device; an array in LUN order with an
 * element whose DriveLetter is 0xFF after the last one. 36 bytes. */
typedef struct DRIVE_INFO_COMMON {
    uint8_t Reserved0[4];
    char DriveLetter;       /*  4: 'D', 'E', ... in LUN order; 0xFF = end marker */
    uint8_t LunCount;       /*  5: LUNs the device reports (read from element 0) */
    uint8_t LunIndex;       /*  6: this element's LUN */
    uint8_t MediaFlags;     /*  7: VELK_MEDIA_* bits of the medium in the slot; 0 = empty */
    uint8_t DeviceClass;    /*  8: controller class (read from element 0) */
    uint8_t Reserved9[3];
    uint32_t Sectors;       /* 12: sector count of the medium (0 = empty) */
    uint32_t BlockLength;   /* 16: 512, or 2048 on a CD-ROM LUN */
    uint16_t Vid;           /* 20 */
    uint16_t Pid;           /* 22 */
    uint32_t FirmwareInfo;  /* 24: offset of the firmware record (VELK_FIRMWARE_INFO_SIZE bytes;
                                   bytes 32-35 = version characters) */
    uint32_t EepRecord;     /* 28: offset of the decoded EEPROM settings (VELK_EEP_RECORD_SIZE bytes) */
    uint8_t Reserved32[4];
} DRIVE_INFO_COMMON;

#define VELK_FIRMWARE_INFO_SIZE 64
#define VELK_FIRMWARE_VERSION_OFFSET 32
#define VELK_EEP_RECORD_SIZE 512
/* Offset in EepRecord of its 32-bit valid flag (1 = decoded from a consistent image). */
#define VELK_EEP_VALID_OFFSET 0

/* One flash chip of the device; 4116 bytes. The record handed back holds
 * VELK_FLASH_INFO_ENTRIES entries (chips beyond ChipCount are zero) followed
 * by the CIS parameter record. */
typedef struct _FlashDiskInfo {
    uint8_t Reserved0[4];
    uint8_t ChipCount;      /*  4: entry 0 only: number of chips */
    uint8_t Reserved5[3];
    uint32_t CisParams;     /*  8: read in entry 8 only (byte 32936 of the record):
                                   offset of the CIS parameter record */
    uint16_t PageSize;      /* 12: entry 0 only: data bytes per page (512 or 2048) */
    uint8_t Reserved14[2];
    uint32_t BlockCount;    /* 16: blocks on this chip */
    uint16_t PagesPerBlock; /* 20: pages per block on this chip */
    uint16_t SpareSize;     /* 22: spare bytes per page (16 at 512-byte pages, else 64) */
    uint8_t Reserved24[4116 - 24];
} _FlashDiskInfo;

#define VELK_FLASH_INFO_ENTRIES 9
#define VELK_MAX_CHIPS 8
#define VELK_CIS_PARAMS_FIELD 32936
#define VELK_CIS_RECORD_SIZE 512
#define VELK_CIS_ACCESS_TIME_SEL 409
#define VELK_CIS_COPY_BACK_OFF 410

#ifdef __cplusplus
static_assert(sizeof(DRIVE_INFO_COMMON) == 36, "drive element is 36 bytes");
static_assert(offsetof(DRIVE_INFO_COMMON, DriveLetter) == 4, "DriveLetter at 4");
static_assert(offsetof(DRIVE_INFO_COMMON, LunCount) == 5, "LunCount at 5");
static_assert(offsetof(DRIVE_INFO_COMMON, MediaFlags) == 7, "MediaFlags at 7");
static_assert(offsetof(DRIVE_INFO_COMMON, DeviceClass) == 8, "DeviceClass at 8");
static_assert(offsetof(DRIVE_INFO_COMMON, FirmwareInfo) == 24, "FirmwareInfo at 24");
static_assert(offsetof(DRIVE_INFO_COMMON, EepRecord) == 28, "EepRecord at 28");
static_assert(sizeof(_FlashDiskInfo) == 4116, "flash entry is 4116 bytes");
static_assert(offsetof(_FlashDiskInfo, ChipCount) == 4, "ChipCount at 4");
static_assert(offsetof(_FlashDiskInfo, PageSize) == 12, "PageSize at 12");
static_assert(offsetof(_FlashDiskInfo, BlockCount) == 16, "BlockCount at 16");
static_assert(offsetof(_FlashDiskInfo, PagesPerBlock) == 20, "PagesPerBlock at 20");
static_assert(8 * sizeof(_FlashDiskInfo) + offsetof(_FlashDiskInfo, CisParams) == VELK_CIS_PARAMS_FIELD,
              "CisParams at 32936 of the record");
#else
_Static_assert(sizeof(DRIVE_INFO_COMMON) == 36, "drive element is 36 bytes");
_Static_assert(sizeof(_FlashDiskInfo) == 4116, "flash entry is 4116 bytes");
#endif

typedef struct VelkList *VelkHandle; /* NULL = no device */

/* ---- device lists ------------------------------------------------------- */

/* Lists the attached devices matching vid/pid (0 = any). mode is accepted
 * for the console's call (1) and has no effect. NULL when none matches. */
VelkHandle VelkCreateDeviceList(uint16_t vid, uint16_t pid, int mode VELK_DEFAULT(0));
/* Frees the list (NULL: returns 0, nothing happens). Returns 1. */
int VelkDestroyDeviceList(VelkHandle h);
/* Same as VelkCreateDeviceList for raw flash access. */
VelkHandle VelkCreatePhyDrvList(uint16_t vid, uint16_t pid);
int VelkDestroyPhyDrvList(VelkHandle h);

/* Open: 1 when idx is a LUN of the listed device and the device is on the
 * bus, else 0. With idx 0 (a LUN of every device) 0 therefore means that the
 * device has left the bus: a caller tells a removed device from a failing
 * block or page this way (the other calls return 0 for both). Close: 1 for a
 * valid idx, also after the device left. Nothing is held open between the
 * two. */
int VelkOpenDevice(VelkHandle h, uint8_t idx);
int VelkCloseDevice(VelkHandle h, uint8_t idx);

/* ---- drive information -------------------------------------------------- */

/* *info = array of *count elements (one per LUN) plus the 0xFF end marker;
 * EepRecord holds the last record decoded by VelkReadEepData (or set by the
 * caller). 0 when the device is gone or a drive-information fault is set
 * (then *info and *count are left unchanged). Either out pointer NULL: 0. */
int VelkGetDriveInfo(VelkHandle h, DRIVE_INFO_COMMON **info, uint8_t *count);

/* ---- LUN I/O (idx = LUN) ------------------------------------------------ */

/* Sector count and sector size (512; 2048 on a CD-ROM LUN). An empty slot:
 * returns 0 with *sectors = 0 and *blockLength = 0. */
int VelkReadCapacity(VelkHandle h, uint8_t idx, uint32_t *sectors, uint32_t *blockLength);
/* One sector (count must be 1) at lba. 0: empty slot, lba out of range,
 * injected read fault. Read of an injected "reads back wrong" LBA returns 1
 * with corrupted data. buf untouched on failure. */
int VelkReadLBA(VelkHandle h, uint8_t idx, uint32_t lba, uint16_t count, uint8_t *buf);
/* 0: as for reads, or write-protect switch on, or injected write fault;
 * nothing written then. With the injected torn-write fault: 0 after the
 * first half of the sector was written (failed after a partial write). */
int VelkWriteLBA(VelkHandle h, uint8_t idx, uint32_t lba, uint16_t count, const uint8_t *buf);
/* *type = VELK_MEDIA_* bit of the medium in the slot, 0 = no medium
 * (returns 1 then too). */
int VelkGetLunMediaType(VelkHandle h, uint8_t idx, uint8_t *type);
/* Writes an empty FAT12/16/32 file system over the whole LUN (chosen by
 * size as mkfs.fat does, no partition table), raising *progress from 0 to
 * 100 (progress may be NULL). The abort byte is polled before every write
 * (abort may be NULL); when it is 1 the format stops and returns 0. What an
 * aborted or failed format leaves: the boot sector is cleared by the first
 * write and written last, so the LUN holds no recognisable file system (not
 * the old one, not a half-written new one); sectors beyond the point reached
 * keep their old contents; formatting again repairs it. Returns 0 also for
 * an empty slot, write protection, a write fault (failed after a partial
 * write) or the CD-ROM LUN (nothing written). *progress is 100 when the call
 * returns, whatever the result, except after an abort (then it stays where
 * the format stopped), so a thread following the byte always ends. */
int VelkLogicalFormat(VelkHandle h, uint8_t idx, uint8_t *progress, uint8_t *abort);
/* The device leaves the bus until plugged again (velk-sim plug) or its
 * profile's auto-replug delay has passed. Returns 1. */
int VelkSafeRemove(VelkHandle h, uint8_t idx);

/* ---- NAND (idx = 0) ----------------------------------------------------- */

/* *info = VELK_FLASH_INFO_ENTRIES entries, CisParams (entry 8, offset 8)
 * pointing at the stored CIS record; returns 1. A device without NAND (a
 * card reader, an IDE bridge, a flash disk made with chips=0) also returns 1,
 * with ChipCount 0, PageSize 0, no chip entries and CisParams 0 (no CIS
 * record: it lives in the flash). 0: the device is gone,
 * idx out of range or info NULL (then *info is left unchanged). */
int VelkGetFlashInfo(VelkHandle h, uint8_t idx, _FlashDiskInfo **info);
/* Page data, PageSize bytes. Erased pages read FFh. 0: out of range, device
 * without NAND, injected page-read fault (buf untouched). */
int VelkReadPhysical(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, uint8_t *buf);
/* Programs the page: bits can only go from 1 to 0 (stored = old AND new), as
 * NAND does; erase first to write ones. 0: out of range, no NAND. */
int VelkWritePhysical(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, const uint8_t *buf);
/* Spare area: 16 bytes at 512-byte pages, else 64. Same rules as the page. */
int VelkReadRedundant(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, uint8_t *buf);
int VelkWriteRedundant(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, const uint8_t *buf);
/* Sets every page and spare of the block to FFh (a factory-bad block keeps
 * its bad marks). 0: out of range, injected erase fault (nothing changed). */
int VelkEraseBlock(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block);
/* 1 = good; 0 = bad (bad mark: byte 5 of the spare at 512-byte pages, byte 0
 * otherwise, not FFh in page 0 or 1), or out of range. */
int VelkIsGoodBlock(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block);
/* Writes the bad mark (00h) into the spares of pages 0 and 1. */
int VelkRetirex(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block);
/* The stored format-progress pair; either out pointer may be NULL. */
int VelkGetLastFormatProgress(VelkHandle h, uint8_t idx, int32_t *a, int32_t *b);
int VelkSetLastFormatProgress(VelkHandle h, uint8_t idx, int32_t a, int32_t b);
/* Stores bytes VELK_CIS_ACCESS_TIME_SEL and VELK_CIS_COPY_BACK_OFF of the CIS
 * record of the last VelkGetFlashInfo (call it first; 0 otherwise). */
int VelkWriteCisBlock(VelkHandle h, uint8_t idx);

/* ---- switches ----------------------------------------------------------- */

/* Bit 0 = write-protect switch on. */
int VelkGetUFDStatus(VelkHandle h, uint8_t idx, uint8_t *status);
/* *state = 1 once after each button press (the press is consumed), else 0. */
int VelkQueryButtonState(VelkHandle h, uint8_t idx, uint8_t *state);

/* ---- firmware and external ROM (idx = 0) -------------------------------- */

/* Start and size of the code area of the external ROM. */
int VelkGetFirmwareSize(VelkHandle h, uint8_t idx, uint32_t *start, uint32_t *size);
/* Reads length bytes of the code area from its start into data, raising
 * *progress from 0 to 100 during the transfer and setting *status to 1 when
 * done, 2 on failure; progress/status may be NULL. 0: length 0 or past the
 * code area, device gone, injected read fault (failed half way: data is
 * partly filled, *progress stays where it stopped). */
int VelkReadFirmware(VelkHandle h, uint8_t idx, uint32_t length, uint8_t *data, uint8_t *progress, uint8_t *status);
/* Programs length bytes at the code area's start; the EEP copy window keeps
 * the bytes the device holds there. Same progress/status. 0: length 0 or
 * past the code area (nothing written); injected firmware-write fault:
 * failed after a partial write (the first half is programmed). */
int VelkWriteFirmware(VelkHandle h, uint8_t idx, uint32_t length, const uint8_t *data, uint8_t *progress, uint8_t *status);

/* EEPROM: 64 16-bit words. 0 when wordIndex + wordCount > 64 or count 0.
 * A write with an injected failing word writes the words before it and
 * returns 0 (failed after a partial write). A read that covers an injected
 * unreadable word returns 0 with words untouched. */
int VelkReadEEPROM(VelkHandle h, uint8_t idx, uint16_t wordIndex, uint8_t wordCount, uint16_t *words);
int VelkWriteEEPROM(VelkHandle h, uint8_t idx, uint16_t wordIndex, uint8_t wordCount, const uint16_t *words);
/* Decodes the EEPROM into EepRecord; its valid flag is 1 only for a
 * consistent image. Returns 1 when read (even if not valid); 0 when the
 * device is gone or an EEPROM word is unreadable (record unchanged). */
int VelkReadEepData(VelkHandle h, uint8_t idx);
/* Encodes EepRecord into an EEPROM image. mode 1 (readers, bridges) and 3
 * (flash disks): writes the EEPROM; mode 2: writes the EEP copy window of the
 * external ROM. 0: other mode, record not encodable, injected fault (nothing
 * written). */
int VelkWriteEepData(VelkHandle h, uint8_t idx, uint8_t mode);
/* The EEP copy window of the external ROM; length at most 128. */
int VelkReadEepDataFromExternalROM(VelkHandle h, uint8_t idx, uint32_t length, uint8_t *buf);
/* Raw external ROM; start + length must lie inside the ROM. Injected
 * ROM-write fault: 0, nothing written. */
int VelkReadExternalROM(VelkHandle h, uint8_t idx, uint32_t start, uint32_t length, uint8_t *buf);
int VelkWriteExternalROM(VelkHandle h, uint8_t idx, uint32_t start, uint32_t length, const uint8_t *data);
/* Erases the whole ROM to FFh. The device then drops off the bus and comes
 * back about 1000 ms later (on the simulator's clock), unless the
 * no-re-enumeration fault keeps it away (until plugged again) or the no-drop
 * fault keeps it on the bus (no removal and no arrival at all). */
int VelkEraseExternalROM(VelkHandle h, uint8_t idx);

#ifdef __cplusplus
}
#endif
#endif
