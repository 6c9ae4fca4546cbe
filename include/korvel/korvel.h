/*
 * korvel.h - client library for Ethernet-attached high-speed data-acquisition
 * devices.
 *
 * Conventions
 *  - Functions return 1 (or a count) on success and 0 on failure; the reason
 *    of a failure is the calling thread's last error, read with
 *    KV_GetLastError() and explained by KV_GetErrorMessage().
 *  - Text outputs are caller-provided buffers without a size argument; each
 *    function states the longest text it writes (NUL included).
 *  - An operation that a device's driver does not provide fails with
 *    KV_ERR_UNSUPPORTED (0xFFFFF).
 *
 * The header is valid C99 and C++.
 */
#ifndef KORVEL_KORVEL_H
#define KORVEL_KORVEL_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KORVEL_BUILDING_LIBRARY)
#define KV_API __attribute__((visibility("default")))
#else
#define KV_API
#endif

/** Opaque handle of an open device (or of an open log file where stated). 0 means none. */
typedef void* KV_HANDLE;

/* ------------------------------------------------------------------------ */
/* Error codes                                                              */
/* ------------------------------------------------------------------------ */

#define KV_NO_ERROR                 0x00000u
#define KV_ERR_SLOT_REGISTERED      0x13001u
#define KV_ERR_SLOT_NOT_REGISTERED  0x13002u
#define KV_ERR_UNKNOWN_MODULE       0x13003u
#define KV_ERR_INVALID_MAC          0x13004u
#define KV_ERR_INVALID_COM_PORT     0x13005u
#define KV_ERR_NOT_SUPPORTED        0x13006u
#define KV_ERR_MODULE_NOT_EXIST     0x13007u
#define KV_ERR_INVALID_SLOT         0x13008u
#define KV_ERR_INVALID_HANDLE       0x1300Au
#define KV_ERR_INVALID_ARGUMENT     0x1300Cu
#define KV_ERR_OUT_OF_MEMORY        0x1300Eu
#define KV_ERR_EEPROM_ADDRESS       0x14001u
#define KV_ERR_SRAM_ADDRESS         0x14002u
#define KV_ERR_MEMORY_TYPE          0x14003u
#define KV_ERR_NVRAM_ADDRESS        0x14004u
#define KV_ERR_EEPROM_PROTECTED     0x14005u
#define KV_ERR_EEPROM_WRITE         0x14006u
#define KV_ERR_EEPROM_READ          0x14007u
#define KV_ERR_FILE_OPEN            0x14102u
#define KV_ERR_WDT_VALUE            0x15001u
#define KV_ERR_WDT_MISSING          0x15002u
#define KV_ERR_WDT_BASE             0x15003u
#define KV_ERR_WDT_OS               0x15004u
#define KV_ERR_CHECKSUM             0x17001u
#define KV_ERR_READ_TIMEOUT         0x17002u
#define KV_ERR_RESPONSE             0x17003u
#define KV_ERR_UNDER_RANGE          0x17004u
#define KV_ERR_OVER_RANGE           0x17005u
#define KV_ERR_OPEN_DEVICE          0x17006u
#define KV_ERR_MODEM_STATUS         0x17007u
#define KV_ERR_INVALID_VALUE        0x17008u
#define KV_ERR_BUFFER_OVERFLOW      0x17009u
#define KV_ERR_SEND                 0x1700Au
#define KV_ERR_CARD_NO_API          0x18001u
#define KV_ERR_API_NO_CARD          0x18002u
#define KV_ERR_SLOT_RANGE           0x18003u
#define KV_ERR_CHANNEL_RANGE        0x18004u
#define KV_ERR_GAIN_RANGE           0x18005u
#define KV_ERR_INTERRUPT_MODE       0x18006u
#define KV_ERR_VALUE_RANGE          0x18007u
#define KV_ERR_INPUT_CHANNEL        0x18008u
#define KV_ERR_DO_OVERWRITE         0x1800Au
#define KV_ERR_AO_OVERWRITE         0x1800Bu
#define KV_ERR_SCAN_MODE            0x1800Cu
#define KV_ERR_DELAY_RANGE          0x1800Du
#define KV_ERR_TRIGGER_CHANNEL      0x1800Eu
#define KV_ERR_TRIGGER_PARAM        0x1800Fu
#define KV_ERR_TRIGGER_SETUP        0x18010u
#define KV_ERR_BUSY_SAMPLING        0x18011u
#define KV_ERR_CONFIG_ITEM          0x19002u
/** The device's driver does not provide the operation. */
#define KV_ERR_UNSUPPORTED          0xFFFFFu

/** Buffer size that holds every message of KV_GetErrorMessage (43 characters and NUL). */
#define KV_ERROR_MESSAGE_SIZE 44

/**
 * @brief The calling thread's last error code.
 * @return the code; 0 when the thread never set one or cleared it.
 * Codes are kept per thread: a code set in one thread is invisible in another.
 */
KV_API int KV_GetLastError(void);

/**
 * @brief Stores code as the calling thread's last error.
 */
KV_API void KV_SetLastError(unsigned int code);

/**
 * @brief Forgets the calling thread's last error; the next KV_GetLastError() returns 0.
 */
KV_API void KV_ClearLastError(void);

/**
 * @brief Copies the message of code into text.
 * @param text buffer of at least KV_ERROR_MESSAGE_SIZE (44) bytes.
 * Codes without a message, and 0, give "Unknow error code!".
 */
KV_API void KV_GetErrorMessage(unsigned int code, char* text);

/* ------------------------------------------------------------------------ */
/* Library                                                                  */
/* ------------------------------------------------------------------------ */

/**
 * @brief Writes the library version text ("1.2.2.3", at most 16 bytes with NUL).
 * Needs no device.
 */
KV_API void KV_GetSDKVersion(char* text);

#ifdef __cplusplus
} /* extern "C" */

/** Run by the library itself when it is loaded: clears and zeroes the loading
 *  thread's last error. Returns 0. Exported with C++ linkage. */
KV_API int KV_Init();
/** Run by the library itself when it is unloaded; does nothing. */
KV_API void KV_Free();
#endif

#endif /* KORVEL_KORVEL_H */
