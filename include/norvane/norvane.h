/* The Norvane SDK as a C interface: the same library and objects as <norvane/sdk.h>, callable from C,
   from other compilers and from foreign-function layers (P/Invoke, ctypes).

   Rules of every function:
   - it returns an nv_status_t (NV_OK on success); on any other status, nv_last_error() gives the reason
     as UTF-8 text, kept per thread until the next call of this interface on that thread, and the same
     text goes to the SDK's debug log;
   - a null handle gives NV_NULL_HANDLE, a null pointer argument NV_INVALID_ARGUMENT, never a crash;
   - arrays and text buffers belong to the caller: the function takes their capacity and reports the
     count it needed, and a too-small buffer gives NV_BUFFER_TOO_SMALL with the needed count set;
   - texts are UTF-8 and NUL-terminated; texts of records are truncated at a character boundary to fit
     their fixed arrays;
   - no C++ exception leaves it. */
#ifndef NORVANE_NORVANE_H
#define NORVANE_NORVANE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(NORVANE_SDK_BUILD)
#define NV_API __declspec(dllexport)
#else
#define NV_API __declspec(dllimport)
#endif
#else
#define NV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes (int32 values). */
typedef int32_t nv_status_t;
enum {
    NV_OK = 0,
    NV_INVALID_ARGUMENT = 1, /* a null pointer or a value out of range */
    NV_NULL_HANDLE = 2,      /* the tuner handle is null */
    NV_BUFFER_TOO_SMALL = 3, /* the caller's capacity is below the count reported */
    NV_NOT_CONNECTED = 4,    /* the tuner is not connected (or audio is not running, for statistics) */
    NV_FAILED = 5,           /* the device did not answer in time or refused, or the call was refused
                                (stop or close from the tuner's own audio callback); see nv_last_error() */
    NV_INTERNAL_ERROR = 6    /* the library failed inside (out of memory and the like) */
};

/* Connection states, as nv_tuner_state reports them. */
enum { NV_STATE_DISCONNECTED = 0, NV_STATE_CONNECTED = 1, NV_STATE_RTP_ACTIVE = 2 };

/* Sizes of the fixed text arrays, in bytes with the terminating NUL. */
#define NV_UNIT_ID_SIZE 64
#define NV_ADDRESS_SIZE 64
#define NV_RDS_PS_SIZE 64
#define NV_RDS_TEXT_SIZE 512
#define NV_RDS_TIME_SIZE 128

/* What a device says about itself (see Norvane::SDK::DeviceInfo). 96 bytes. */
typedef struct nv_device_info_t {
    char unit_id[NV_UNIT_ID_SIZE];
    uint32_t hardware;
    uint32_t firmware;
    uint32_t software;
    uint32_t audio_protocol;
    uint32_t control_protocol;
    uint32_t rtp_port;
    uint32_t inputs;      /* the number of tuners */
    uint32_t device_freq; /* sample frequency in Hz; 0 until the device reported it */
} nv_device_info_t;

/* A device found by discovery. 164 bytes. */
typedef struct nv_device_t {
    nv_device_info_t info;
    char address[NV_ADDRESS_SIZE]; /* dotted quad, without port */
    uint16_t port;                 /* the device's control port */
    uint16_t reserved;             /* zero */
} nv_device_t;

/* Reception quality of one tuner. 20 bytes. */
typedef struct nv_quality_t {
    uint32_t rssi;
    uint32_t snr;
    uint32_t multipath;
    uint32_t pilot;
    uint32_t valid;
} nv_quality_t;

/* RDS texts of one tuner in UTF-8. 704 bytes. */
typedef struct nv_rds_t {
    char psrv[NV_RDS_PS_SIZE];
    char text[NV_RDS_TEXT_SIZE];
    char time[NV_RDS_TIME_SIZE];
} nv_rds_t;

/* How to run audio (see Norvane::SDK::DeviceStartSettings). 12 bytes. */
typedef struct nv_start_settings_t {
    uint16_t rtp_base_port; /* 0: the system chooses a free port for each stream */
    uint16_t reserved;      /* zero */
    uint32_t buffer_window; /* packets held per receive channel (the C++ default is 20) */
    uint32_t start_latency; /* packets behind the newest one where reading starts (default 10) */
} nv_start_settings_t;

/* What happened to one audio stream since start (see Norvane::SDK::StreamStatistics). 80 bytes. */
typedef struct nv_stream_stats_t {
    uint64_t packets_received;
    uint64_t duplicate_packets;
    uint64_t late_packets;
    uint64_t foreign_dropped;
    uint64_t malformed_dropped;
    uint64_t blocks_played;
    uint64_t silent_blocks;
    uint64_t bad_blocks;
    uint64_t relocks;
    uint64_t fill_blocks;
} nv_stream_stats_t;

/* Called once per audio block on the SDK's audio thread: one pointer per channel (two per tuner), each
   to `frames` samples valid only during the call. Closing, starting or stopping the same tuner from it
   is refused with NV_FAILED (each would wait for the callback itself). */
typedef void (*nv_audio_cb)(void* user, const float* const* in, size_t channels, size_t frames);

/* One FM-tuner device, opened by nv_tuner_open and released by nv_tuner_close. */
typedef struct nv_tuner nv_tuner_t;

/* The reason of the calling thread's last failure as UTF-8; "" after a success. Never null. */
NV_API const char* nv_last_error(void);
/* Sets *version to the SDK's version "major.minor.patch" (static text). */
NV_API nv_status_t nv_version(const char** version);
/* Discovery from host_addr:host_port to broadcast_addr:broadcast_port, collecting answers for wait_ms
   (0: the standard 3000 ms; at most NV_MAX_DISCOVERY_WAIT_MS), into devices[capacity]; *count is the
   number found, NV_BUFFER_TOO_SMALL when above capacity (the first capacity are filled); devices may be
   null when capacity is 0. */
#define NV_MAX_DISCOVERY_WAIT_MS 60000
NV_API nv_status_t nv_find_devices(const char* host_addr, uint16_t host_port, const char* broadcast_addr,
                                   uint16_t broadcast_port, uint32_t wait_ms, nv_device_t* devices,
                                   uint32_t capacity, uint32_t* count);
/* Connects to device_addr:device_port from host_addr:host_port and sets *tuner. host_addr null or "": the
   local address the system routes to the device from (the device streams its audio there); host_port 0:
   any free port. */
NV_API nv_status_t nv_tuner_open(const char* device_addr, uint16_t device_port, const char* host_addr,
                                 uint16_t host_port, nv_tuner_t** tuner);
/* Stops audio, disconnects and frees the tuner; the handle is invalid afterwards. */
NV_API nv_status_t nv_tuner_close(nv_tuner_t* tuner);
/* Copies the unit id into text[capacity]; *needed is its size with the NUL. */
NV_API nv_status_t nv_tuner_device_id(nv_tuner_t* tuner, char* text, uint32_t capacity, uint32_t* needed);
/* Fills *info with what the connected device said about itself. */
NV_API nv_status_t nv_tuner_info(nv_tuner_t* tuner, nv_device_info_t* info);
/* Sets *state to one of NV_STATE_*. */
NV_API nv_status_t nv_tuner_state(nv_tuner_t* tuner, int32_t* state);
/* Sets *inputs to the number of tuners of the connected device. */
NV_API nv_status_t nv_tuner_inputs(nv_tuner_t* tuner, uint32_t* inputs);
/* Sets the audio format: sample frequency in Hz and frames per block. */
NV_API nv_status_t nv_tuner_audio_format(nv_tuner_t* tuner, uint32_t* sample_freq,
                                         uint32_t* frames_per_block);
/* Frequencies (kHz) of every tuner into freqs[capacity]; request non-zero asks the device first. */
NV_API nv_status_t nv_tuner_get_freqs(nv_tuner_t* tuner, int32_t request, uint32_t* freqs, uint32_t capacity,
                                      uint32_t* count);
/* Tunes every tuner: count must equal the number of tuners. */
NV_API nv_status_t nv_tuner_set_freqs(nv_tuner_t* tuner, const uint32_t* freqs, uint32_t count);
/* Quality of every tuner into values[capacity]; request non-zero asks the device first. */
NV_API nv_status_t nv_tuner_quality(nv_tuner_t* tuner, int32_t request, nv_quality_t* values,
                                    uint32_t capacity, uint32_t* count);
/* RDS texts of every tuner into values[capacity]; request non-zero asks the device first. */
NV_API nv_status_t nv_tuner_rds(nv_tuner_t* tuner, int32_t request, nv_rds_t* values, uint32_t capacity,
                                uint32_t* count);
/* Starts audio: cb(user, ...) receives every block until nv_tuner_stop or nv_tuner_close. */
NV_API nv_status_t nv_tuner_start(nv_tuner_t* tuner, const nv_start_settings_t* settings, nv_audio_cb cb,
                                  void* user);
/* Stops audio; the callback is not called after it returns. */
NV_API nv_status_t nv_tuner_stop(nv_tuner_t* tuner);
/* Statistics of every stream (one per tuner) of the running audio into stats[capacity]. */
NV_API nv_status_t nv_tuner_stream_stats(nv_tuner_t* tuner, nv_stream_stats_t* stats, uint32_t capacity,
                                         uint32_t* count);

#ifdef __cplusplus
}
#endif

#endif /* NORVANE_NORVANE_H */
