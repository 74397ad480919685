/*
 * quorvel: a Mandelbrot set engine that zooms far past hardware floating point.
 *
 * Conventions
 * - Every function except qv_create_context and qv_describe_generator takes a
 *   context handle first. A handle is opaque; it is live from qv_create_context
 *   until qv_delete_context. A handle is the context's address: once deleted,
 *   a later qv_create_context may return the same value, and the old copy then
 *   reaches the new context. Forget a handle when deleting it.
 * - An unknown or null handle is never an error: the call does nothing and
 *   returns a neutral value (0, false, 0.0 or NULL). The place and
 *   view-parameter getters then write the default view (0, 0, radius 2, 150).
 * - Null pointers given as records, texts, buffers, double pointers or paths are
 *   ignored: getters skip a null output, setters do nothing, bool results are
 *   false.
 * - The engine is single-threaded: call it from one thread only.
 * - The image returned by qv_get_rgb_image stays owned by the engine; it is
 *   valid until the next call that changes the image size (image properties,
 *   history step, load, context reset) or deletes the context. Palettes,
 *   Location records, texts and paths passed in are copied or read during the
 *   call and stay owned by the caller.
 */
#ifndef QUORVEL_H
#define QUORVEL_H

#include <stddef.h>
#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

/* The library's version; the build takes its version from these lines. */
#define QUORVEL_VERSION_MAJOR 0
#define QUORVEL_VERSION_MINOR 1
#define QUORVEL_VERSION_PATCH 0

/* QV_BUILDING_LIBRARY is defined only while the library itself is compiled. */
#if defined(_WIN32) && defined(QV_BUILDING_LIBRARY)
#define QV_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define QV_EXPORT __declspec(dllimport)
#elif defined(__GNUC__)
#define QV_EXPORT __attribute__((visibility("default")))
#else
#define QV_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque context handle. */
typedef struct qv_context *qv_handle;

/* A stored place: three 32-byte BigFloats (eight little-endian 32-bit words
   each) and a little-endian 32-bit iteration limit; 100 bytes in all. */
typedef struct Location {
    uint8_t centre_x[32];
    uint8_t centre_y[32];
    uint8_t radius[32];
    uint32_t max_iterations;
} Location;

/* Creates a context with a memory budget in megabytes (negative means 32,
   above 1023 means 1024). */
QV_EXPORT qv_handle qv_create_context(int memory_megabytes);
/* Returns the context to its initial state: one default 100x100 view. */
QV_EXPORT void qv_reset_context(qv_handle handle);
/* Destroys the context and writes NULL into *handle. */
QV_EXPORT void qv_delete_context(qv_handle *handle);

/* One refinement time slice (about 0.25 s) on the current view; false once the
   current image was already finished. */
QV_EXPORT bool qv_refine_image(qv_handle handle);
/* One time slice on the nearest unfinished other view; false when none is
   left. */
QV_EXPORT bool qv_refine_history(qv_handle handle);
/* Selects the current view's strategy (0 contour tracing, 1 box matching,
   2 brute force; others mean 0); returns the type in effect. */
QV_EXPORT int qv_set_generator_type(qv_handle handle, int type);
/* Cycles the strategy 0 -> 1 -> 2 -> 0; returns the new type. */
QV_EXPORT int qv_change_generator_type(qv_handle handle);
/* Name of a strategy type; "unknown!?" for any other number. The text is a
   constant of the library: valid while it is loaded, never to be freed. */
QV_EXPORT const char *qv_describe_generator(int type);

/* Sets the current view's output size and supersampling (1 to 8) and the
   gamma; values out of range (<= 0, a gamma that is not finite, or a grid above
   32767) keep the current value. */
QV_EXPORT void qv_set_image_properties(qv_handle handle, int width, int height,
                                       int supersampling, float gamma);
/* Copies a palette of 256 R,G,B triplets (768 bytes). */
QV_EXPORT void qv_set_palette(qv_handle handle, const unsigned char *rgb);
/* Palette-cycling speed in palette steps per second; 0 (or a speed that is not
   finite) stops cycling. */
QV_EXPORT void qv_set_palette_cycling_speed(qv_handle handle, float speed);
/* Flips the preview switch; returns its new state. */
QV_EXPORT bool qv_toggle_preview(qv_handle handle);

/* Selects the kernel for views too deep for doubles: 0 auto (the 192-bit
   kernel while it is exact enough, perturbation deeper), 1 exact (the 192-bit
   kernel wherever 192-bit coordinates hold the view; deeper views always
   perturb, every iteration stepped), 2 perturbation skipping iterations with
   linear steps where they are valid, 3 plain perturbation (every iteration
   stepped). Auto skips too. Other modes change nothing. Returns the mode in
   force before the call. A change discards the current view's pixels if that
   view is past the double path, so they are computed again. */
QV_EXPORT int qv_set_deep_kernel(qv_handle handle, int mode);
/* The deep-view kernel mode in force (0 auto, 1 exact, 2 perturbation, 3 plain). */
QV_EXPORT int qv_get_deep_kernel(qv_handle handle);

/* Multiplies the iteration limit by factor (saturating); returns the limit now
   in effect. */
QV_EXPORT unsigned int qv_adjust_maximum_iterations(qv_handle handle, float factor);
/* The current view's iteration limit. */
QV_EXPORT unsigned int qv_get_maximum_iterations(qv_handle handle);

/* New history entry zoomed by factor on output pixel (x, y); factor <= 0 means
   1. */
QV_EXPORT void qv_zoom_on_window_coord(qv_handle handle, int x, int y, float factor);
/* New history entry with the radius divided by factor; factor <= 0 does
   nothing. */
QV_EXPORT void qv_zoom_centered(qv_handle handle, float factor);
/* New history entry moved by dx image widths and dy image heights (positive dy
   is up); pixels that stay in view are kept. */
QV_EXPORT void qv_move(qv_handle handle, float dx, float dy);

/* Advances palette cycling, re-renders if due and returns the current RGB
   image: width x height pixels, 3 bytes each, top row first. */
QV_EXPORT unsigned char *qv_get_rgb_image(qv_handle handle);
/* Current output width in pixels. */
QV_EXPORT int qv_get_image_width(qv_handle handle);
/* Current output height in pixels. */
QV_EXPORT int qv_get_image_height(qv_handle handle);
/* Share of the current image obtained without iterating, 0 to 1. */
QV_EXPORT float qv_get_cleverness(qv_handle handle);
/* Progress of the current image, 0 to 1; -1 right after a move. */
QV_EXPORT float qv_get_progress(qv_handle handle);
/* Seconds of refinement spent on the current image. */
QV_EXPORT float qv_get_time_spent(qv_handle handle);

/* Discards the current view's pixels; they are computed again. */
QV_EXPORT void qv_reset_current_view(qv_handle handle);
/* Steps back in the history; false at the oldest view. */
QV_EXPORT bool qv_history_back(qv_handle handle);
/* Steps forward in the history; false at the newest view. */
QV_EXPORT bool qv_history_forward(qv_handle handle);

/* Writes the current view into *location; a deeper view's centre rounded to
   192 bits, its radius exact. */
QV_EXPORT void qv_store_location_to(qv_handle handle, Location *location);
/* New history entry showing a stored view with its iteration limit; a record
   whose centre is no finite double, or whose radius is <= 0 or no finite
   double, shows the home view, as a radius of 2 or more does. A radius below
   the double range is kept: a deep view, with the record's 192-bit centre. */
QV_EXPORT void qv_restore_location_from(qv_handle handle, const Location *location);
/* New history entry with this centre and radius (a radius of 2 or more gives the
   home view). A radius that is not a positive normal double (NaN, infinite,
   zero, negative or subnormal), or a centre that is not finite or lies 2^64 or
   farther out, is ignored: no new entry, nothing changes. */
QV_EXPORT void qv_set_view_params_from_doubles(qv_handle handle, double x, double y,
                                               double radius);
/* As above, the centre given in the hexadecimal BigFloat text form (or plain
   decimal); the same radii and centres are ignored. Text exponents beyond the
   32-bit range saturate. */
QV_EXPORT void qv_set_view_params_from_text(qv_handle handle, const char *x, const char *y,
                                            double radius);
/* Writes the current centre (as doubles) and radius. */
QV_EXPORT void qv_get_view_params_as_doubles(qv_handle handle, double *x, double *y,
                                             double *radius);
/* Writes the current centre in text form (buffers of at least 63 bytes) and the
   radius. */
QV_EXPORT void qv_get_view_params_as_text(qv_handle handle, char *x, char *y, double *radius);

/* New history entry with a view of any depth: the centre as decimal text of any
   length or the hexadecimal text form with any number of digits, the radius as
   decimal with any exponent ("2e-1086") or the same hexadecimal form. A radius of
   2 or more gives the home view. Returns 1; bad text or a radius not above 0
   returns 0 and changes nothing. */
QV_EXPORT int qv_set_view_from_strings(qv_handle handle, const char *x, const char *y,
                                       const char *radius);
/* Writes the current centre and radius exactly, in the hexadecimal text form,
   into three buffers of `capacity` bytes, so that qv_set_view_from_strings gives
   the same view back. Returns the capacity each buffer needs, terminator
   included, and writes nothing when `capacity` is smaller. An unknown handle
   gives the home view's text. */
QV_EXPORT size_t qv_get_view_strings(qv_handle handle, char *x, char *y, char *radius,
                                     size_t capacity);

/* Replaces the history with the one in a history file; on false the context is
   unchanged. */
QV_EXPORT bool qv_load(qv_handle handle, const char *path);
/* Writes the whole history with its computed pixels; false on any failure, the
   existing file then untouched. */
QV_EXPORT bool qv_save_all(qv_handle handle, const char *path);
/* Writes the history with views and settings only. */
QV_EXPORT bool qv_save_minimum(qv_handle handle, const char *path);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_H */
