/* c_levels: finds the FM tuners that answer on the network, connects to the first one, tunes every tuner
   to one frequency, shows quality and RDS texts, and records two seconds of audio levels (peak and RMS
   of each channel in dBFS). Plain C11 on the SDK's C interface.

       c_levels LOCAL_ADDRESS[:PORT] BROADCAST_ADDRESS[:PORT] [FREQUENCY_KHZ]

   The arguments are those of discover_tune: discovery answers arrive on LOCAL_ADDRESS:PORT (15002 unless
   given), the device is driven from PORT + 1, BROADCAST_ADDRESS takes the devices' control port (15001
   unless given), and the frequency is in kHz (100500 = 100.5 MHz). */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif
#include <norvane/norvane.h>

#include <math.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(unsigned ms) {
    Sleep(ms);
}
#else
#include <time.h>
static void SleepMs(unsigned ms) {
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

#define MAX_DEVICES 16
#define MAX_TUNERS 32
#define MAX_CHANNELS 64
#define RECORD_SECONDS 2
#define RECORD_TIMEOUT_MS 10000

/* What the audio callback gathers. Only the audio thread writes the sums; main reads them after
   nv_tuner_stop, which returns only once the callback has ended for good. `frames` is read while audio
   runs to know when two seconds have arrived. */
typedef struct levels_t {
    size_t channels;
    float peak[MAX_CHANNELS];
    double sum_squares[MAX_CHANNELS];
    size_t wanted_frames;
    atomic_size_t frames;
} levels_t;

/* One pass over the block: a compare and a multiply-add per sample, no locks, no allocation. */
static void OnAudio(void* user, const float* const* in, size_t channels, size_t frames) {
    levels_t* lv = (levels_t*)user;
    const size_t done = atomic_load_explicit(&lv->frames, memory_order_relaxed);
    if (done >= lv->wanted_frames) {
        return;
    }
    if (channels > MAX_CHANNELS) {
        channels = MAX_CHANNELS;
    }
    lv->channels = channels;
    for (size_t c = 0; c < channels; ++c) {
        float peak = lv->peak[c];
        double sum = 0.0;
        for (size_t i = 0; i < frames; ++i) {
            const float v = in[c][i];
            const float a = v < 0.0f ? -v : v;
            peak = a > peak ? a : peak;
            sum += (double)v * v;
        }
        lv->peak[c] = peak;
        lv->sum_squares[c] += sum;
    }
    atomic_store_explicit(&lv->frames, done + frames, memory_order_release);
}

static double Dbfs(double amplitude) {
    return amplitude > 0.0 ? 20.0 * log10(amplitude) : -INFINITY;
}

/* Splits "host:port" in place; *port keeps its value when no port is given. 0 for a port out of range. */
static int SplitEndpoint(char* text, unsigned* port) {
    char* colon = strchr(text, ':');
    if (colon == NULL) {
        return 1;
    }
    *colon = '\0';
    *port = (unsigned)strtoul(colon + 1, NULL, 10);
    return *port != 0 && *port < 65535;
}

/* Prints what failed and the SDK's reason; gives the exit code. */
static int Fail(const char* what, nv_status_t status) {
    fprintf(stderr, "%s failed (status %d): %s\n", what, (int)status, nv_last_error());
    return 1;
}

static levels_t g_levels; /* static: its arrays would weigh on a small main-thread stack */

/* Everything between open and close: tune, read, record and print the levels. The exit code. */
static int UseTuner(nv_tuner_t* tuner, const nv_device_t* device, unsigned long freq) {
    nv_status_t st;
    uint32_t n = 0;
    uint32_t sample_freq = 0;
    uint32_t block = 0;
    if ((st = nv_tuner_inputs(tuner, &n)) != NV_OK) {
        return Fail("nv_tuner_inputs", st);
    }
    if (n == 0 || n > MAX_TUNERS) {
        fprintf(stderr, "the device reports %u tuners; this program handles 1 to %d\n", (unsigned)n,
                MAX_TUNERS);
        return 1;
    }
    if ((st = nv_tuner_audio_format(tuner, &sample_freq, &block)) != NV_OK) {
        return Fail("nv_tuner_audio_format", st);
    }
    printf("Connected to %s (%u tuners, %u Hz, %u frames per block)\n", device->info.unit_id, (unsigned)n,
           (unsigned)sample_freq, (unsigned)block);

    uint32_t freqs[MAX_TUNERS];
    for (uint32_t i = 0; i < n; ++i) {
        freqs[i] = (uint32_t)freq;
    }
    if ((st = nv_tuner_set_freqs(tuner, freqs, n)) != NV_OK) {
        return Fail("nv_tuner_set_freqs", st);
    }
    static nv_quality_t quality[MAX_TUNERS];
    static nv_rds_t rds[MAX_TUNERS];
    uint32_t count = 0;
    if ((st = nv_tuner_get_freqs(tuner, 0, freqs, MAX_TUNERS, &count)) != NV_OK) {
        return Fail("nv_tuner_get_freqs", st);
    }
    if ((st = nv_tuner_quality(tuner, 1, quality, MAX_TUNERS, &count)) != NV_OK) {
        return Fail("nv_tuner_quality", st);
    }
    if ((st = nv_tuner_rds(tuner, 1, rds, MAX_TUNERS, &count)) != NV_OK) {
        return Fail("nv_tuner_rds", st);
    }
    for (uint32_t i = 0; i < n; ++i) {
        printf("Tuner %u: %u kHz  rssi=%u snr=%u valid=%u  \"%s\"  %s\n", (unsigned)i, (unsigned)freqs[i],
               (unsigned)quality[i].rssi, (unsigned)quality[i].snr, (unsigned)quality[i].valid, rds[i].psrv,
               rds[i].text);
    }

    if (sample_freq == 0) {
        fprintf(stderr, "the device has not reported its sample frequency; no levels to record\n");
        return 1;
    }
    g_levels.wanted_frames = (size_t)sample_freq * RECORD_SECONDS;
    atomic_init(&g_levels.frames, 0);
    const nv_start_settings_t settings = {0, 0, 20, 10};
    if ((st = nv_tuner_start(tuner, &settings, OnAudio, &g_levels)) != NV_OK) {
        return Fail("nv_tuner_start", st);
    }
    printf("Recording %d s of levels...\n", RECORD_SECONDS);
    for (unsigned waited = 0;
         waited < RECORD_TIMEOUT_MS &&
         atomic_load_explicit(&g_levels.frames, memory_order_acquire) < g_levels.wanted_frames;
         waited += 50) {
        SleepMs(50);
    }
    if ((st = nv_tuner_stop(tuner)) != NV_OK) {
        return Fail("nv_tuner_stop", st);
    }
    const size_t frames = atomic_load_explicit(&g_levels.frames, memory_order_acquire);
    if (frames < g_levels.wanted_frames) {
        fprintf(stderr, "only %lu of %lu frames arrived within %d ms\n", (unsigned long)frames,
                (unsigned long)g_levels.wanted_frames, RECORD_TIMEOUT_MS);
        return 1;
    }
    for (size_t c = 0; c < g_levels.channels; ++c) {
        printf("Level channel %lu (tuner %lu %s): peak %6.1f dBFS  rms %6.1f dBFS\n", (unsigned long)c,
               (unsigned long)(c / 2), c % 2 == 0 ? "left" : "right", Dbfs(g_levels.peak[c]),
               Dbfs(sqrt(g_levels.sum_squares[c] / frames)));
    }
    return 0;
}

int main(int argc, char** argv) {
    char local[NV_ADDRESS_SIZE];
    char target[NV_ADDRESS_SIZE];
    unsigned local_port = 15002;
    unsigned port = 15001;
    unsigned long freq = 100500;
    if (argc < 3 || argc > 4 || strlen(argv[1]) >= sizeof local || strlen(argv[2]) >= sizeof target) {
        fprintf(stderr, "usage: %s LOCAL_ADDRESS[:PORT] BROADCAST_ADDRESS[:PORT] [FREQUENCY_KHZ]\n", argv[0]);
        return 2;
    }
    strcpy(local, argv[1]);
    strcpy(target, argv[2]);
    if (argc == 4) {
        freq = strtoul(argv[3], NULL, 10);
    }
    if (!SplitEndpoint(local, &local_port) || !SplitEndpoint(target, &port) || freq == 0 || freq > 200000) {
        fprintf(stderr, "bad address, port or frequency\n");
        return 2;
    }

    const char* version = NULL;
    nv_status_t st = nv_version(&version);
    if (st != NV_OK) {
        return Fail("nv_version", st);
    }
    printf("Norvane SDK %s; searching for devices (3 s)...\n", version);
    static nv_device_t devices[MAX_DEVICES];
    uint32_t found = 0;
    st = nv_find_devices(local, (uint16_t)local_port, target, (uint16_t)port, 0, devices, MAX_DEVICES, &found);
    if (st != NV_OK && st != NV_BUFFER_TOO_SMALL) {
        return Fail("nv_find_devices", st);
    }
    if (found > MAX_DEVICES) {
        found = MAX_DEVICES;
    }
    for (uint32_t i = 0; i < found; ++i) {
        printf("  %s at %s:%u, %u tuners\n", devices[i].info.unit_id, devices[i].address,
               (unsigned)devices[i].port, (unsigned)devices[i].info.inputs);
    }
    if (found == 0) {
        fprintf(stderr, "no device answered\n");
        return 1;
    }

    nv_tuner_t* tuner = NULL;
    st = nv_tuner_open(devices[0].address, devices[0].port, local, (uint16_t)(local_port + 1), &tuner);
    if (st != NV_OK) {
        return Fail("nv_tuner_open", st);
    }
    const int rc = UseTuner(tuner, &devices[0], freq);
    st = nv_tuner_close(tuner);
    if (st != NV_OK) {
        return Fail("nv_tuner_close", st);
    }
    return rc;
}
