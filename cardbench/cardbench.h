/* Query interface of the virtual card bench, for tests that load the bench
 * library into their own process. Plain C so that any test harness can use it. */
#ifndef CARDBENCH_CARDBENCH_H
#define CARDBENCH_CARDBENCH_H

#include <stddef.h>

#if defined(_WIN32)
#define CARDBENCH_API /* exported by FTD2XX.def */
#else
#define CARDBENCH_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the whole bench (devices, cards, handles, faults, call log) with the
 * scenario given as JSON text. Relative paths in it are taken from base_dir (NULL or
 * "": the working directory). Returns 0, or -1 with the previous bench left in place. */
CARDBENCH_API int cardbench_load_scenario(const char* json_text, const char* base_dir);

/* The same for a scenario file; its relative paths are taken from the file's folder. */
CARDBENCH_API int cardbench_load_scenario_file(const char* path);

/* Back to an empty bench: no devices, empty call log, all counts zero. */
CARDBENCH_API void cardbench_reset(void);

/* The buffer functions copy at most capacity bytes (text: capacity - 1 and a NUL) and
 * return the full length, so a call with capacity 0 asks for the size. */

/* Why the last load failed, or a non-fatal problem of the last load (empty: none). */
CARDBENCH_API size_t cardbench_last_error(char* buffer, size_t capacity);

/* The call log so far, JSON lines; empty-poll runs still open are closed first. */
CARDBENCH_API size_t cardbench_call_log(char* buffer, size_t capacity);

/* FT_Close calls on a handle of the device that had already been closed. */
CARDBENCH_API int cardbench_double_close_count(int device);

#ifdef __cplusplus
}
#endif

#endif
