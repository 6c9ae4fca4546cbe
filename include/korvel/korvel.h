/**
 * @file korvel.h
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
 * Threads and the life of a device
 *  - Any function may be called from any thread. A device may be used from
 *    several threads at once: command exchanges are serialised per device,
 *    and so is the run lifecycle - starting and stopping scans, sync-in
 *    scans and logging runs, setting their parameters, and the release.
 *  - A run (scan, sync-in scan, logging run) exists from its start until it
 *    is stopped, also after its thread ended by itself (a finite scan that
 *    reached its count). While a run exists, a second start and the scan,
 *    trigger, sync-in and configuration setters (KV_SetAIScanParam,
 *    KV_SetAIAnalogTriggerParam, KV_SetAIDelayTriggerParam, KV_SetConfig,
 *    KV_SetSyncInScanParam) fail with KV_ERR_BUSY_SAMPLING; their getters
 *    return the stored settings of the run without asking the device.
 *  - While a run is acquiring (from its start until its thread ends or it
 *    is stopped) the digital I/O and counter functions fail with
 *    KV_ERR_BUSY_SAMPLING, and single-point analog reads return the codes of
 *    the last read made before.
 *  - Handles are never reused within a process: a handle of a released
 *    device or a closed log file stays invalid (KV_ERR_INVALID_HANDLE), even
 *    when a new object is opened later.
 *  - Event callbacks run on the device's worker thread (see KV_EventCallback).
 *  - Unloading the library (or KV_Free) stops every run and closes every
 *    device still open.
 *
 * The header is valid C99 and C++.
 */
#ifndef KORVEL_KORVEL_H
#define KORVEL_KORVEL_H

#include <stddef.h>
#include <wchar.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

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
/** @defgroup errors Error codes
 *  @{ */

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

/**
 * @brief The name of code's constant, e.g. "KV_ERR_INVALID_ARGUMENT" for
 *        0x1300C; "KV_NO_ERROR" for 0 and "KV_ERR_UNKNOWN" for a code the
 *        library never raises.
 * @return a static string (never null, never freed); any thread.
 */
KV_API const char* KV_ErrorName(unsigned int code);

/**
 * @brief A plain sentence saying what code means, for every code the library
 *        raises, e.g. "invalid argument: a required pointer is null or a value
 *        is out of range"; a sentence naming an unknown code otherwise.
 * @return a static string (never null, never freed); any thread.
 */
KV_API const char* KV_ErrorDescription(unsigned int code);

/** @} */

/* ------------------------------------------------------------------------ */
/* Library and devices                                                      */
/* ------------------------------------------------------------------------ */
/** @defgroup devices Library and devices
 *  @{ */

/**
 * @brief Writes the library version text ("1.2.2.3"; at most 16 bytes with NUL).
 * Needs no device.
 */
KV_API void KV_GetSDKVersion(char* text);

/**
 * @brief Opens a device.
 * @param address "a.b.c.d" optionally followed by ",cmdport" and ",dataport"
 *        (defaults 9999 and 10010). Runs of commas count as one; at most 63
 *        characters, fields of at most 19.
 * @return the device handle, or 0 with the last error:
 *   KV_ERR_INVALID_ARGUMENT (null or malformed address, 4 or more fields, a
 *   port field of 0 or not numeric, over-long text); KV_ERR_OPEN_DEVICE (address
 *   already open, a connection failed, or the device's connect sequence or
 *   calibration read failed); KV_ERR_MODULE_NOT_EXIST (model id not recognised,
 *   or no answer to the identification).
 */
KV_API KV_HANDLE KV_Device_Create(const char* address);

/**
 * @brief Closes a device: stops its scan or logging run and joins its worker
 *        thread, then closes its connections and frees it (once the calls
 *        other threads are still making on it have returned). The handle is
 *        invalid afterwards, and never names another device.
 * @return 1 done; 0 with KV_ERR_INVALID_HANDLE (also for a second release),
 *         or KV_ERR_NOT_SUPPORTED from an event callback of the same device.
 */
KV_API int KV_Device_Release(KV_HANDLE handle);

/**
 * @brief Writes the model name ("LX-3100", ...; at most 20 bytes with NUL).
 * @return 1; 0 with KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_GetModelName(KV_HANDLE handle, char* name);

/**
 * @brief Writes the firmware version and date as "V<hex version>,<date>"
 *        (at most 32 bytes with NUL).
 * @return 1; 0 with KV_ERR_INVALID_HANDLE (text untouched).
 */
KV_API int KV_GetFirmwareVersion(KV_HANDLE handle, char* text);

/**
 * @brief Writes the hardware (FPGA) version text, e.g. "V7b" (at most 16 bytes;
 *        for slot controllers one version per slot, at most 64 bytes).
 * @return 1 for a registered device even when the read failed (text empty;
 *         last error set); 0 with KV_ERR_INVALID_HANDLE (text set empty).
 */
KV_API int KV_GetHWFirmwareVersion(KV_HANDLE handle, char* text);

/**
 * @brief Asks the device to reboot. @return 1 for a registered device; 0 with
 *        KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_Reboot(KV_HANDLE handle);

/**
 * @brief Raw command exchange: sends command plus CR and waits timeout_ms for
 *        the CR-ended reply.
 * @param command at most 254 characters, without CR.
 * @param reply receives the reply without its CR; must hold 256 bytes.
 * @return 1 reply received; 0 with KV_ERR_INVALID_HANDLE, KV_ERR_SEND,
 *         KV_ERR_READ_TIMEOUT or KV_ERR_INVALID_VALUE (command too long).
 */
KV_API int KV_SendRecv(KV_HANDLE handle, const char* command, char* reply, int timeout_ms);

/**
 * @brief What the device has: analog inputs (on a slot controller, the
 *        total of its populated slots), analog-input ranges (gain codes),
 *        analog outputs, digital inputs and outputs, and the bytes of one
 *        raw sample in a scan (2: 16-bit codes; 4: 24-bit codes in a 32-bit
 *        word). Every pointer may be null.
 * @return 1; 0 with KV_ERR_INVALID_HANDLE. Any thread.
 */
KV_API int KV_GetIOCounts(KV_HANDLE handle, int* ai, int* ai_ranges, int* ao, int* di,
                          int* do_count, int* sample_bytes);

/**
 * @brief Slot controllers: number of populated slots and one byte per slot
 *        (at most 8), in slot order: 8 (channels) per card on an MC610s, the
 *        card's type id on an MC620Ws (1 MR-410A, 2 MR-410B, 3 LX-6300,
 *        4 LX-6400, 5 MR-420A, 6 MR-420B, 0 an unknown card, which carries
 *        no channels). @return 1 for a registered device (KV_ERR_UNSUPPORTED
 *        on devices without slots); 0 with KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_Get_Module_Count(KV_HANDLE handle, int* count, char* modules);

/**
 * @brief Slot controllers: trigger-output settings. @return 1 for a registered
 *        device; 0 with KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_Configure_Trig_Out(KV_HANDLE handle, int a, int b);

/** @} */

/* ------------------------------------------------------------------------ */
/* Single-point analog input and output                                     */
/* ------------------------------------------------------------------------ */
/** @defgroup single_point Single-point analog input and output
 *  @{ */

/**
 * @brief Reads one analog input in volts.
 * @param gain range code (LX-3100: 0 = +-5 V, 1 = +-10 V).
 * @return 1; 0 with KV_ERR_INVALID_HANDLE, KV_ERR_INPUT_CHANNEL,
 *         KV_ERR_GAIN_RANGE, KV_ERR_RESPONSE (no valid reply) or KV_ERR_INVALID_VALUE.
 * While a scan is receiving, the values of the last read are returned.
 */
KV_API int KV_ReadAI(KV_HANDLE handle, int channel, int gain, float* value);

/**
 * @brief Reads channels 0..count-1 in volts into values[count].
 * @return 1; 0 with KV_ERR_INPUT_CHANNEL (count outside 1..channels),
 *         KV_ERR_GAIN_RANGE (values zeroed), KV_ERR_RESPONSE (values zeroed).
 */
KV_API int KV_ReadAIALL(KV_HANDLE handle, int gain, float* values, int count);

/**
 * @brief Reads one analog input as a calibrated code.
 * @return 1; 0 with the codes of KV_ReadAI; *value is 0 on failure.
 */
KV_API int KV_ReadAIHEX(KV_HANDLE handle, int channel, int gain, int* value);

/**
 * @brief Reads channels 0..count-1 as calibrated codes into values[count].
 * @return 1; 0 as KV_ReadAIALL (values zeroed).
 */
KV_API int KV_ReadAIALLHEX(KV_HANDLE handle, int gain, int* values, int count);

/**
 * @brief Drives an analog output (LX-3200: outputs 0..1, ranges 0..3; the
 *        value is sent with three decimals, "%+07.3f").
 * @return 1; 0 with KV_ERR_INPUT_CHANNEL, KV_ERR_GAIN_RANGE, KV_ERR_BUSY_SAMPLING,
 *         KV_ERR_RESPONSE, or KV_ERR_UNSUPPORTED on devices without outputs.
 */
KV_API int KV_WriteAO(KV_HANDLE handle, int channel, int range, float value);

/** @brief As KV_WriteAO with a raw output code (its low 16 bits are sent). */
KV_API int KV_WriteAOHEX(KV_HANDLE handle, int channel, int range, int value);

/**
 * @brief Calibrates a raw code with the device's (or an open log file's) tables.
 * @param handle a device handle, or a log-file handle from KV_LogFile_Open.
 * @return 1; 0 with KV_ERR_INVALID_HANDLE, KV_ERR_INPUT_CHANNEL, KV_ERR_GAIN_RANGE.
 */
KV_API int KV_Calibrate_Data_HEX(KV_HANDLE handle, int channel, int gain, int raw, int* out);

/** @brief As KV_Calibrate_Data_HEX, giving volts. */
KV_API int KV_Calibrate_Data_Float(KV_HANDLE handle, int channel, int gain, int raw, float* out);

/**
 * @brief The calibration pair of a channel and gain code: Q15 gain factor
 *        (32768 = 1.0) and offset in codes. On the LX-3200 channels 4 and 5
 *        are the analog outputs 0 and 1, with the output range (0..3) as gain.
 * @return 1; 0 with KV_ERR_INPUT_CHANNEL or KV_ERR_GAIN_RANGE (LX-3100: both
 *         outputs 0; LX-3200: outputs untouched).
 */
KV_API int KV_ReadGainOffset(KV_HANDLE handle, int channel, int gain, unsigned short* gain_factor,
                             short* offset);

/** @} */

/* ------------------------------------------------------------------------ */
/* Digital I/O, counters and encoders                                       */
/* ------------------------------------------------------------------------ */
/** @defgroup digital Digital I/O, counters and encoders
 *  @{ */
/* While a run is acquiring (from its start until its thread ends or it is   */
/* stopped) these fail with KV_ERR_BUSY_SAMPLING, without an exchange.       */

/**
 * @brief Reads the digital inputs and the digital-output state (one bit per line).
 * @return 1; 0 with KV_ERR_RESPONSE, KV_ERR_INVALID_VALUE; an unknown handle
 *         sets both outputs 0.
 */
KV_API int KV_ReadDIO(KV_HANDLE handle, unsigned int* di, unsigned int* do_value);

/**
 * @brief Sets all digital outputs (0..15: four outputs on the LX-3100 and
 *        LX-3200). A wider value is refused before anything is sent:
 *        KV_ERR_INVALID_ARGUMENT on the LX-3100, KV_ERR_VALUE_RANGE on the LX-3200.
 */
KV_API int KV_WriteDO(KV_HANDLE handle, unsigned int value);

/** @brief Sets or clears one digital output. @return 1; 0 with KV_ERR_INPUT_CHANNEL, ... */
KV_API int KV_WriteDOBit(KV_HANDLE handle, int bit, bool on);

/**
 * @brief Configuration bits and preset of a DI counter; *extra is set 0.
 * @return 1; 0 with KV_ERR_INPUT_CHANNEL, KV_ERR_RESPONSE; an unknown handle
 *         sets all three outputs 0.
 */
KV_API int KV_GetDICNTConfig(KV_HANDLE handle, unsigned int channel, unsigned int* config,
                             unsigned int* preset, unsigned int* extra);
/** @brief Sets a DI counter's configuration bits (bit 0, bit 1) and preset. */
KV_API int KV_SetDICNTConfig(KV_HANDLE handle, unsigned int channel, unsigned int config,
                             unsigned int preset);
/** @brief Configuration bits and preset of a counter; *extra is set 0. */
KV_API int KV_GetCounterConfig(KV_HANDLE handle, unsigned int channel, unsigned int* config,
                               unsigned int* preset, unsigned int* extra);
/** @brief Sets a counter's configuration bits and preset. */
KV_API int KV_SetCounterConfig(KV_HANDLE handle, unsigned int channel, unsigned int config,
                               unsigned int preset);
/** @brief Reads one DI counter (unknown handle: *value 0). */
KV_API int KV_GetDICNT(KV_HANDLE handle, unsigned int channel, unsigned int* value);
/** @brief Reads one counter. */
KV_API int KV_GetCounter(KV_HANDLE handle, unsigned int channel, unsigned int* value);
/** @brief Clears one DI counter. @return 1 when the device accepted it. */
KV_API int KV_ClearDICNT(KV_HANDLE handle, unsigned int channel);
/** @brief Clears all DI counters. */
KV_API int KV_ClearDICNTALL(KV_HANDLE handle);
/** @brief Clears one counter. */
KV_API int KV_ClearCounter(KV_HANDLE handle, unsigned int channel);
/** @brief Clears all counters. */
KV_API int KV_ClearCounterALL(KV_HANDLE handle);
/**
 * @brief Reads DI counters 0..count-1 into values[count].
 * @return 1; 0 with KV_ERR_INPUT_CHANNEL (values zeroed), KV_ERR_RESPONSE.
 */
KV_API int KV_GetDICNTAll(KV_HANDLE handle, unsigned int* values, int count);
/** @brief Reads counters 0..count-1 into values[count]. */
KV_API int KV_GetCounterAll(KV_HANDLE handle, unsigned int* values, int count);
/**
 * @brief Encoder settings (LX-3200: one encoder, channel 0). The outputs are
 *        set 0 first, so a failure leaves zeros (unknown handle too).
 * @return 1; 0 with KV_ERR_INPUT_CHANNEL (channel not 0), KV_ERR_BUSY_SAMPLING,
 *         KV_ERR_RESPONSE (no reply), KV_ERR_INVALID_VALUE (a reply not
 *         starting with '>' or without three setting digits), or
 *         KV_ERR_UNSUPPORTED on devices without an encoder.
 */
KV_API int KV_GetEncoderMode(KV_HANDLE handle, int channel, int* s1, int* s2, int* s3);
/**
 * @brief Sets the encoder settings (s1 0..2, s2 0..8, s3 0..3) and clears its count.
 * @return 1; 0 with KV_ERR_INPUT_CHANNEL, KV_ERR_VALUE_RANGE, KV_ERR_BUSY_SAMPLING,
 *         KV_ERR_RESPONSE or KV_ERR_INVALID_VALUE (a reply not starting with '>').
 */
KV_API int KV_SetEncoderMode(KV_HANDLE handle, int channel, int s1, int s2, int s3);
/**
 * @brief Reads the encoder count (*value 0 on any failure, unknown handle too).
 * @return 1; 0 as KV_GetEncoderMode.
 */
KV_API int KV_ReadEncoder(KV_HANDLE handle, int channel, unsigned int* value);
/**
 * @brief Clears the encoder count by sending the settings last read or written
 *        again. @return 1; 0 as KV_SetEncoderMode.
 */
KV_API int KV_ClearEncoder(KV_HANDLE handle, int channel);

/** @} */

/* ------------------------------------------------------------------------ */
/* Scan configuration and triggers                                          */
/* ------------------------------------------------------------------------ */
/** @defgroup scan_config Scan configuration and triggers
 *  @{ */

/**
 * @brief Sets the high-speed scan.
 * @param ch_count channels scanned (1..channels), @param gain range code
 *        (LX-3100: 0 = +-5 V, 1 = +-10 V; LX-3200: 0..9 = +-10, 5, 2.5, 1.25,
 *        0.625, 0.3, 0.15, 0.075, 0.04, 0.02 V; LX-R5000: 0 only),
 * @param trig_mode trigger mode (LX-3100: 0, 1, 2, 3, 5, 6, 8, 9; LX-3200 and
 *        LX-R5000: 0, 6, 8),
 * @param sample_rate samples per second per channel (LX-3100: 1..200 000;
 *        LX-3200 and LX-R5000: 1..128 000, set to the nearest rate their clock
 *        divides to; KV_GetAIScanParam reads the achieved rate back, and the
 *        LX-R5000 also stores it), @param sample_count total
 *        samples over all channels (0 = continuous), @param transfer_mode and
 * @param option passed to the device.
 * @return 1; 0 with KV_ERR_INTERRUPT_MODE, KV_ERR_SCAN_MODE, KV_ERR_VALUE_RANGE,
 *         KV_ERR_INPUT_CHANNEL, KV_ERR_GAIN_RANGE, KV_ERR_BUSY_SAMPLING (a run
 *         exists) or an exchange error.
 */
KV_API int KV_SetAIScanParam(KV_HANDLE handle, short ch_count, short gain, short trig_mode,
                             int sample_rate, unsigned int sample_count, short transfer_mode,
                             short option);
/**
 * @brief Reads the scan settings back from the device (unknown handle: all
 *        0); while a run exists, the run's stored settings, without an exchange.
 * @return 1; 0 with an exchange error, or KV_ERR_INVALID_VALUE when the device
 *         reports a value this device cannot have (0 or too many channels, an
 *         unknown range, a rate or count out of range): nothing is stored then.
 */
KV_API int KV_GetAIScanParam(KV_HANDLE handle, short* ch_count, short* gain, short* trig_mode,
                             int* sample_rate, unsigned int* sample_count, short* transfer_mode,
                             short* option);
/**
 * @brief Sets the analog trigger: mode 0..3, per channel enable/high/low
 *        levels in volts for the first n channels, pre + post = sample count.
 * @return 1; 0 with KV_ERR_TRIGGER_CHANNEL, KV_ERR_TRIGGER_PARAM,
 *         KV_ERR_TRIGGER_SETUP, KV_ERR_INVALID_VALUE or KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_SetAIAnalogTriggerParam(KV_HANDLE handle, int mode, const char* enable,
                                      const float* high, const float* low, int n, unsigned int pre, unsigned int post);
/** @brief Reads the analog trigger back; *reserved is always set 0. */
KV_API int KV_GetAIAnalogTriggerParam(KV_HANDLE handle, int* mode, char* enable, float* high,
                                      float* low, int n, unsigned int* pre, unsigned int* post,
                                      unsigned int* reserved);
/** @brief Sets the delay trigger (5..10 000 000; else KV_ERR_DELAY_RANGE). */
KV_API int KV_SetAIDelayTriggerParam(KV_HANDLE handle, unsigned int delay);
/** @brief Reads the delay trigger back; *extra is always set 0. */
KV_API int KV_GetAIDelayTriggerParam(KV_HANDLE handle, unsigned int* delay, unsigned int* extra);
/**
 * @brief Sets a configuration item. Items: 2 rate exponent (index 2), 4 logger
 *        settings (index 1 folder grouping 0..7, index 2 a stored value),
 *        5 device settings (index 0, 1) and receive time-out base (index 2,
 *        in units of 50 ms), 6 per-channel factor (index = channel).
 * @return 1; 0 with KV_ERR_INVALID_ARGUMENT or KV_ERR_CONFIG_ITEM.
 */
KV_API int KV_SetConfig(KV_HANDLE handle, int item, int index, int value);
/** @brief Reads a configuration item (see KV_SetConfig). */
KV_API int KV_GetConfig(KV_HANDLE handle, int item, int index, int* value);
/** @brief Asks the device to send the samples held in its RAM. */
KV_API int KV_TransmitDataCmd(KV_HANDLE handle);

/** @} */

/* ------------------------------------------------------------------------ */
/* Acquisition and buffers                                                  */
/* ------------------------------------------------------------------------ */
/** @defgroup acquisition Acquisition and buffers
 *  @{ */

/** Status bits of KV_GetAIBufferStatus. */
#define KV_STATUS_DATA          0x01u /* samples waiting in the buffer */
#define KV_STATUS_OVERRUN       0x02u /* samples were lost (buffer full, or a file write failed) */
#define KV_STATUS_ENDED         0x04u /* the acquisition thread has ended */
#define KV_STATUS_TIMEOUT       0x08u /* ended by a data time-out */
#define KV_STATUS_LOG_ENDED     0x10u /* the logger thread has ended */
#define KV_STATUS_LOG_TIMEOUT   0x20u /* the logger ended by a data time-out */
#define KV_STATUS_LOG_FILE      0x40u /* the first data file was opened */
#define KV_STATUS_COUNT_REACHED 0x80u /* a finite scan reached its sample count */

/**
 * @brief Starts the configured scan: the library receives the device's
 *        stream on a worker thread into a buffer of its own.
 * @return 1 started; 0 with KV_ERR_BUSY_SAMPLING (a run exists: stop it
 *         first; also from an event callback), KV_ERR_OPEN_DEVICE (not
 *         connected), KV_ERR_OUT_OF_MEMORY, or the error of the start order
 *         the device did not acknowledge (KV_ERR_READ_TIMEOUT, KV_ERR_SEND,
 *         KV_ERR_RESPONSE); no thread is left running then, and an order that
 *         went out is followed by a stop order, in case the device started.
 */
KV_API int KV_StartAIScan(KV_HANDLE handle);
/**
 * @brief Stops the scan, joins its thread and discards unread samples. A stop
 *        racing another stop waits for it and returns as a stop of a stopped
 *        scan does.
 * @return 1; 0 when the device is not connected, KV_ERR_INVALID_HANDLE,
 *         KV_ERR_NOT_SUPPORTED (from an event callback), or the error of a stop
 *         order the device did not acknowledge (the scan is stopped on the
 *         library's side all the same; the device may still be sampling).
 */
KV_API int KV_StopAIScan(KV_HANDLE handle);
/**
 * @brief Buffer status bits (KV_STATUS_*) and samples waiting (0 when status is 0).
 * @return 1; 0 with KV_ERR_INVALID_HANDLE (both outputs 0).
 */
KV_API int KV_GetAIBufferStatus(KV_HANDLE handle, unsigned short* status, unsigned int* count);
/**
 * @brief Takes up to count samples, calibrated to volts, channels interleaved
 *        in scan order. The buffer keeps whole scans (one sample of every
 *        channel): when it is full, whole scans are dropped, so every sample
 *        delivered sits at its own channel's place. Raw and volt reads share
 *        one read position; each sample is calibrated with its own channel's
 *        table whatever the reads before took.
 *        Slot controllers: each slot streams its channels separately and the
 *        buffer merges them back into scans; samples become readable in scan
 *        order as far as every slot has delivered, and a finite scan never
 *        hands out more than its count. A full buffer ends the scan instead
 *        (status KV_STATUS 0x02; what was kept stays readable, in place); a
 *        data time-out sets 0x20. The MC620Ws cards have no calibration: use
 *        KV_GetAIBufferHex there (this function reports KV_ERR_UNSUPPORTED).
 * @return samples delivered (0 when none or on error; an unknown handle sets
 *         buffer[0] to 0).
 */
KV_API int KV_GetAIBuffer(KV_HANDLE handle, float* buffer, unsigned int count);
/** @brief As KV_GetAIBuffer, giving raw codes (16-bit codes sign-extended). */
KV_API int KV_GetAIBufferHex(KV_HANDLE handle, unsigned int* buffer, unsigned int count);
/**
 * @brief Empties the buffer and clears the status; the scan goes on. The rest
 *        of a scan partly read is dropped too: the next sample read is channel 0.
 * @return 1.
 */
KV_API int KV_ClearAIBuffer(KV_HANDLE handle);
/**
 * @brief Samples received in this scan (or the device's RAM count before any
 *        data arrived) and the status bits.
 */
KV_API int KV_GetTotalSamplingStatus(KV_HANDLE handle, unsigned int* count, unsigned int* status);

/** Scan events (KV_SetEventCallback mask bits). */
#define KV_EVENT_RECEIVE_ERROR  1u  /* a receive on the data port failed; the run ended */
#define KV_EVENT_COUNT_REACHED  2u  /* a finite scan reached its sample count */
#define KV_EVENT_TIMEOUT        4u  /* the run ended by a data time-out */
#define KV_EVENT_OVERRUN        8u  /* samples were dropped (buffer full) */
#define KV_EVENT_LOG_COMPLETE   16u /* a logging run reached its sample count */

/**
 * Event function. value: samples received for KV_EVENT_COUNT_REACHED and
 * KV_EVENT_LOG_COMPLETE, else 0.
 * Callbacks run on the library's worker thread that detected the event, never
 * while it holds a lock of the library. They must return quickly. On their
 * own device they may read buffers and settings, but starting, stopping,
 * reconfiguring or releasing it is refused (KV_ERR_BUSY_SAMPLING for starts
 * and setters, KV_ERR_NOT_SUPPORTED for stops and the release): the worker
 * cannot wait for itself. A callback must not start, stop, reconfigure or
 * release another device whose own callbacks do the same to this one.
 */
typedef void (*KV_EventCallback)(KV_HANDLE handle, unsigned short event, unsigned int value,
                                 void* user_data);

/**
 * @brief Registers function for the events in mask (KV_EVENT_*). A null
 *        function keeps the one registered before; mask and user data are replaced.
 *        The slot controllers (MC610s, MC620Ws) raise no events: their runs
 *        are watched through KV_GetAIBufferStatus; registering is accepted.
 * @return 1 for a registered device; 0 with KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_SetEventCallback(KV_HANDLE handle, unsigned short mask, unsigned short spare,
                               KV_EventCallback function, void* user_data);
/** @brief Removes the registration, whatever mask is given. @return 1; 0 for an unknown handle. */
KV_API int KV_RemoveEventCallback(KV_HANDLE handle, unsigned short mask);

/**
 * @brief Defines a sync-in frame: headerMode (1..3 put a 4-byte header in front
 *        of each frame), count (< 8) items of types[] (0..5) and sizes[], option
 *        bit 0 enables the sync-in scan.
 * @return 1; 0 with KV_ERR_INVALID_ARGUMENT (count >= 8, checked before the
 *         handle, or a bad type), KV_ERR_RESPONSE or KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_SetSyncInScanParam(KV_HANDLE handle, unsigned int header_mode,
                                 const unsigned short* sizes, const unsigned short* types,
                                 unsigned short count, unsigned int options, unsigned int spare);
/**
 * @brief Reads the device's sync-in frame definition; sizes and types hold
 *        max_count (< 8) entries.
 * @return 1; 0 with KV_ERR_INVALID_ARGUMENT, KV_ERR_BUFFER_OVERFLOW (more items
 *         than max_count), KV_ERR_RESPONSE or KV_ERR_INVALID_HANDLE.
 */
KV_API int KV_GetSyncInScanParam(KV_HANDLE handle, unsigned int* header_mode,
                                 unsigned short* sizes, unsigned short* types,
                                 unsigned short max_count, unsigned short* count,
                                 unsigned int* options, unsigned int* spare);

/*
 * Sync-in frames. Each frame is an optional 32-bit header and the defined
 * items in order. Outputs may be null (the item is skipped).
 *  - header: frames 32-bit values.
 *  - analog, words_a, words_b: arrays of `frames` row pointers. Type 0 items
 *    land in analog rows as float volts; type 1 as 16-bit codes; types 2/3 in
 *    words_a/words_b rows as 16-bit words; types 4/5 as 32-bit words.
 *  - bits_a, bits_b: row pointers receiving the packed bytes of types 6/7.
 * Rows need room for their item's elements; only the rows of the frames
 * returned are written.
 * @return the number of whole frames delivered (fewer than asked when fewer
 *         are waiting); 0 with KV_ERR_INVALID_ARGUMENT (frames 0),
 *         KV_ERR_RESPONSE (no frame defined, or an unknown item type),
 *         KV_ERR_INVALID_HANDLE, or KV_ERR_UNSUPPORTED (device without sync-in).
 */
KV_API int KV_GetSyncInBuffer(KV_HANDLE handle, unsigned int* header, void** analog,
                              unsigned char** bits_a, unsigned char** bits_b, void** words_a,
                              void** words_b, void* reserved1, void* reserved2,
                              unsigned int frames);
/** @brief As KV_GetSyncInBuffer, with every 16-bit element in a 32-bit slot. */
KV_API int KV_GetSyncInBufferDW(KV_HANDLE handle, unsigned int* header, void** analog,
                                unsigned char** bits_a, unsigned char** bits_b, void** words_a,
                                void** words_b, void* reserved1, void* reserved2,
                                unsigned int frames);
/**
 * @brief As KV_GetSyncInBuffer into flat arrays of 32-bit slots: element k of
 *        an item of size s in frame f goes to slot f * s + k. Type 1 items go to
 *        analog, types 2/4 to words_a, types 3/5 to words_b; type 0 and the bit
 *        items are not delivered (bits_a, bits_b are unused).
 */
KV_API int KV_GetSyncInBufferLV(KV_HANDLE handle, unsigned int* header, unsigned int* analog,
                                unsigned char* bits_a, unsigned char* bits_b,
                                unsigned int* words_a, unsigned int* words_b, void* reserved1,
                                void* reserved2, unsigned int frames);
/**
 * @brief Status bits (KV_STATUS_*) and whole frames waiting.
 * @return 1; 0 while no frame is defined (frames untouched) or for an unknown handle.
 */
KV_API int KV_GetSyncInBufferStatus(KV_HANDLE handle, unsigned short* status,
                                    unsigned int* frames);
/** @brief As KV_ClearAIBuffer. */
KV_API int KV_ClearSyncInBuffer(KV_HANDLE handle);
/** @brief As KV_GetTotalSamplingStatus (count in 16-bit words). */
KV_API int KV_GetSyncInTotalSamplingStatus(KV_HANDLE handle, unsigned int* count,
                                           unsigned int* status);

/** @} */

/* ------------------------------------------------------------------------ */
/* Logging to files and the device's SD card                                */
/* ------------------------------------------------------------------------ */
/** @defgroup logging Logging to files and the device's SD card
 *  @{ */

/**
 * @brief Starts logging the configured scan into files below path (the current
 *        folder when null or empty): a configuration file in path/config and data
 *        files in path/log/ADDRESS/GROUP-FOLDER, a new one every period minutes.
 *        A data or configuration file that cannot be written, flushed or closed
 *        (a full disk) ends the run: the buffer status then shows 0x02 and 0x10,
 *        and KV_StopLogger sets KV_ERR_FILE_OPEN.
 * @param mode 0 raw .bin + config, 1 calibrated text .txt + config, 2 raw .bin +
 *        config without start time, 3 calibrated text without config, 4 raw
 *        without config.
 * @return 1 started; 0 with KV_ERR_OPEN_DEVICE (not connected),
 *         KV_ERR_BUSY_SAMPLING (a run exists), KV_ERR_INVALID_HANDLE,
 *         KV_ERR_FILE_OPEN (the configuration file cannot be written), or the
 *         error of the start order the device did not acknowledge (then
 *         followed by a stop order, as for KV_StartAIScan).
 */
KV_API int KV_StartLogger(KV_HANDLE handle, char* path, int period, int mode);
/** @brief Not supported: KV_ERR_NOT_SUPPORTED, returns 0. */
KV_API int KV_StartLoggerW(KV_HANDLE handle, const wchar_t* path, int period, int mode);
/**
 * @brief Stops the logging run and closes its files.
 * @return 1, also when the device did not acknowledge the stop order (its
 *         error is left as the last error) or a file of the run could not be
 *         written out (the last error is KV_ERR_FILE_OPEN); 0 for an unknown
 *         handle, or with KV_ERR_NOT_SUPPORTED from an event callback of the
 *         device.
 */
KV_API int KV_StopLogger(KV_HANDLE handle);

/* Log files: read back without a device. Log-file handles come from
 * KV_LogFile_Open* and are valid until KV_LogFile_Close; the KV_GetLogFile_*
 * functions treat an unknown handle like a null one. Paths hold at most 259
 * characters. */

/**
 * @brief Lists the data files of a type below folder (recursively), each
 *        paired with its configuration file, for KV_LogFile_Open_byIndex.
 * @param type 0 ".bin", 1 ".txt", 2 ".csv", 3 ".tdm", 4 ".xls", 5 ".md", 6 ".kvd";
 *        7..13 the upper-case spellings.
 * @return the number of files listed. The listing replaces the previous one
 *         at once; KV_LogFile_Open_byIndex may run on another thread meanwhile.
 */
KV_API int KV_GetAllLogFiles(const char* folder, int type);
/** @brief Not supported: KV_ERR_NOT_SUPPORTED, returns 0. */
KV_API int KV_GetAllLogFilesW(const wchar_t* folder, int type);
/**
 * @brief Opens a data file written by the logger together with its
 *        configuration file (found by address and tag below the log root).
 *        Both must be regular files (or links to them): a FIFO or a device is
 *        refused rather than waited on.
 * @return a log-file handle, or 0 with KV_ERR_FILE_OPEN.
 */
KV_API KV_HANDLE KV_LogFile_Open(const char* path);
/** @brief As KV_LogFile_Open for a wide-character path. */
KV_API KV_HANDLE KV_LogFile_OpenW(const wchar_t* path);
/**
 * @brief Opens entry index of the last KV_GetAllLogFiles listing; its data
 *        path is copied into data_path (260 bytes).
 */
KV_API KV_HANDLE KV_LogFile_Open_byIndex(int index, char* data_path);
/** @brief Not supported: KV_ERR_NOT_SUPPORTED, returns 0. */
KV_API KV_HANDLE KV_LogFile_Open_byIndexW(int index, wchar_t* data_path);
/** @brief Closes a log file. @return 1 (also for null or unknown handles). */
KV_API int KV_LogFile_Close(KV_HANDLE log);
/**
 * @brief Model name (20 bytes), data file size in bytes, file type (0 binary,
 *        1 text) and reserved (0). A size of 4 GiB or more is reported as
 *        0xFFFFFFFF (saturated, never wrapped).
 * @return 1; 0 with size 0 for other file types; 1 and nothing written for a
 *         null or unknown handle.
 */
KV_API int KV_GetLogFileInfo(KV_HANDLE log, char* name, unsigned int* size, unsigned int* type,
                             unsigned int* reserved);
/** @brief The scan settings recorded in the configuration. @return 1; 0 for a null handle. */
KV_API int KV_GetLogFile_AIScanConfigInfo(KV_HANDLE log, unsigned short* channel_count,
                                          unsigned short* gain, unsigned short* trigger,
                                          unsigned int* sample_rate,
                                          unsigned short* transfer_mode,
                                          unsigned short* sync_mode);
/**
 * @brief A channel's recorded gain factor and offset (low 16 bits); gain_code
 *        is not used. @return 1; 0 for a null handle or a channel not below the
 *        channel count.
 */
KV_API int KV_GetLogFile_GainOffset(KV_HANDLE log, int channel, unsigned int gain_code,
                                    unsigned short* gain, unsigned short* offset);
/**
 * @brief Samples in the data file (text files: channel count x lines;
 *        0xFFFFFFFF when there are more), and the recorded start as date
 *        "YYYY/MM/DD" (16 bytes) and time "hh:mm:ss.n" (32 bytes). Rewinds a
 *        text file.
 * @return 1.
 */
KV_API int KV_GetLogFile_AIScanSampleInfo(KV_HANDLE log, unsigned int* total, char* date,
                                          char* time);
/**
 * @brief Text files: the values of the lines from the current position on,
 *        one scan per line: at most channel-count values of a line are stored,
 *        and a line with fewer gets NaN for the missing ones, so later values
 *        keep their channels. Never more values are stored than the total
 *        KV_GetLogFile_AIScanSampleInfo reported (counted now if it was never
 *        asked), whatever the file holds.
 * @param count the array's size: at most count values are stored; 0 reads up
 *        to that total. start is not used.
 * @return the values stored; 0 for binary files or a line without values.
 */
KV_API int KV_GetLogFile_AIData(KV_HANDLE log, unsigned int start, unsigned int count,
                                float* values);
/**
 * @brief Binary files: count raw samples from sample offset on into codes, one
 *        per 32-bit slot (16-bit samples fill the low halves only; clear the
 *        array first). @return the samples read; 0 for text files.
 */
KV_API int KV_GetLogFile_AIDataHex(KV_HANDLE log, unsigned int offset, unsigned int count,
                                   void* codes);

/* SD-card recordings (LX-3100, LX-3200, LX-R5000). A download is a run like
 * a logging run: one of a scan, a logging run or a download at a time. */

/**
 * @brief Number of recordings on the device's SD card.
 * @return 1; 0 with KV_ERR_BUSY_SAMPLING (a run is acquiring), KV_ERR_RESPONSE
 *         (no answer, or the device refused) or KV_ERR_INVALID_VALUE (no number).
 */
KV_API int KV_GetSDAllLogFiles(KV_HANDLE handle, unsigned int* count);
/**
 * @brief Sample count and recorded time of SD recording index; first
 *        receives a value the device reports. time receives the recorded
 *        time as the device writes it ("y/m/d-h:m:s:"), at most 255
 *        characters and a NUL (256 bytes).
 * @return 1; 0 as KV_GetSDAllLogFiles (KV_ERR_RESPONSE also for an index past
 *         the card), outputs untouched.
 */
KV_API int KV_GetSDLogFile_Info(KV_HANDLE handle, unsigned int index, unsigned int* first,
                                unsigned int* samples, char* time);
/**
 * @brief Downloads SD recording index into the log layout below path (the
 *        current folder when null or empty), as a logging run in logger mode
 *        `mode` writes it: a configuration file holding the device's text for
 *        the recording (not in modes 3 and 4) and data files split every ten
 *        minutes, the first named after the recording's time. The transfer runs
 *        on the device's worker thread; KV_GetAIBufferStatus shows 0x40 (file
 *        opened), 0x80 (all samples arrived; event 16), 0x20 (time-out), 0x02
 *        (data lost: the connection or a file failed) and 0x10 (ended). A
 *        recording of 0 samples ends at once, without a data file.
 *        KV_StopLogger or a release ends it promptly; a new download ends a
 *        running one. An addition to the device operations' C interface.
 * @param area the recording's area code, 0..9.
 * @return 1 when the transfer started; 0 with KV_ERR_BUSY_SAMPLING (a scan or
 *         logging run exists), KV_ERR_INVALID_ARGUMENT (area, an over-long
 *         path), KV_ERR_RESPONSE (the recording's information or
 *         configuration was not given: nothing is written then),
 *         KV_ERR_INVALID_VALUE (an information field that is not a number),
 *         KV_ERR_FILE_OPEN, KV_ERR_OPEN_DEVICE or KV_ERR_UNSUPPORTED.
 */
KV_API int KV_DownloadSDFile(KV_HANDLE handle, unsigned int index, char area, const char* path,
                             int mode);
/** @brief Not supported: KV_ERR_NOT_SUPPORTED, returns 0. */
KV_API int KV_DownloadSDFileW(KV_HANDLE handle, unsigned int index, char area, const wchar_t* path,
                              int mode);
/** @brief Does nothing; returns 0 and leaves the last error as it was. */
KV_API int KV_DownloadAllSDFiles(KV_HANDLE handle, const char* path, int mode);

/** @} */

/* ------------------------------------------------------------------------ */
/* Software filters (LX-R5000; other devices accept and ignore them)        */
/* ------------------------------------------------------------------------ */
/** @defgroup filters Software filters (LX-R5000; other devices accept and ignore them)
 *  @{ */
/* Each of the LX-R5000's four channels owns a Butterworth filter (low-pass,  */
/* high-pass, band-pass, band-stop; bilinear transform with pre-warping,      */
/* double-precision state). KV_GetAIBuffer filters the volts it returns and   */
/* KV_GetAIBufferHex the codes: each channel's filter sees exactly its own    */
/* samples in order, whatever the read sizes, clears or overruns, and its     */
/* state carries from read to read. Codes are taken as signed 24-bit values   */
/* (as the calibration reads them), filtered as code / 8388607 and written    */
/* back as 24-bit two's-complement codes (clamped). Do not mix volt and code  */
/* reads of a filtered scan: the two feed the same filter state. Setters may  */
/* be called during a scan, from any thread; a read uses the designs in force */
/* when it runs. Designs need an order that is a multiple of 4; frequencies   */
/* are not checked (at or above half the rate the output is meaningless).    */

/**
 * @brief Sets a channel's filter order (even, <= 16384; a new order clears
 *        the filter) and sample rate. Odd or larger orders, or a channel
 *        outside 0..3, change nothing. @return 1.
 */
KV_API int KV_Init_Software_Filter(KV_HANDLE handle, int channel, int order, int sample_rate);
/**
 * @brief Designs a low-pass filter at f Hz and switches it on (enable 1), or
 *        switches the channel's filtering off (enable 0, the design kept).
 *        A low-pass or high-pass design keeps the filter's state, so a cut-off
 *        can change during a scan. @return 1.
 */
KV_API int KV_Set_LowPassFilter(KV_HANDLE handle, int channel, int enable, float f);
/** @brief Designs or switches off a high-pass filter (as KV_Set_LowPassFilter). @return 1. */
KV_API int KV_Set_HighPassFilter(KV_HANDLE handle, int channel, int enable, float f);
/** @brief Band-pass between f2 (lower) and f1 (upper edge); clears the filter's state. @return 1. */
KV_API int KV_Set_BandPassFilter(KV_HANDLE handle, int channel, int enable, float f1, float f2);
/** @brief Band-stop between f2 (lower) and f1 (upper edge); clears the filter's state. @return 1. */
KV_API int KV_Set_BandStopFilter(KV_HANDLE handle, int channel, int enable, float f1, float f2);

/** @} */

#ifdef __cplusplus
} /* extern "C" */

/** Run by the library itself when it is loaded: clears and zeroes the loading
 *  thread's last error. Returns 0. Exported with C++ linkage. */
KV_API int KV_Init();
/** Run by the library itself when it is unloaded: stops every run and closes
 *  every device still open, while the library's code is still there to run
 *  their threads. */
KV_API void KV_Free();
#endif

#endif /* KORVEL_KORVEL_H */
