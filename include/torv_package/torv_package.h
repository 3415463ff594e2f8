/*
 * torv_package.h: the package reader's C API (C11 and C++), over the shared library
 * libtorv_package.so.0. Link with -ltorv_package (pkg-config torv_package_c, or CMake's
 * find_package(torv_package_c) and the target torv_package::c).
 *
 * A package is opened as a view: the file is mapped (or the caller's bytes borrowed),
 * validated completely, and then read in place; nothing of it is copied. Every name is
 * prefixed tp_ (TP_ for macros and constants).
 *
 * Errors. A function that can fail returns 0 on success and -1 on failure, and then sets
 * *error (when `error` is not NULL) to a tp_error the caller frees with tp_error_free.
 * Nothing in this API throws, prints, exits or aborts; running out of memory is an error
 * like any other.
 *
 * Records. A record of the package (the application, a tile image, a segment...) is reached
 * through a handle: a small struct of its own type per record (tp_tile_image, tp_segment...),
 * passed and returned by value, whose contents are private. Accessors read one field each:
 * numbers by value, enums as their C enum, texts as tp_text and data as tp_bytes (pointer
 * and length into the view), a record as its handle, a list as a count
 * (tp_RECORD_FIELD_count) and an element by index (tp_RECORD_FIELD_at). Accessors never
 * fail: the view was validated as a whole when it was opened. A handle, and every pointer
 * an accessor gives, stays valid while the view it came from is open; using either after
 * tp_view_close is undefined. A handle filled with zeros (`tp_segment s = {0};`), or given
 * for an index past the end of a list, is the empty record: each of its fields reads as its
 * schema default (0, empty text and data, empty lists; invocations 1).
 *
 * Threads. The library holds no global state. A view may be read by any number of threads
 * at once (accessors, lookups); tp_view_close must not race with any other use of that
 * view. A tp_error is never changed after it is made: any thread may read it, one frees it.
 */
#ifndef TORV_PACKAGE_H
#define TORV_PACKAGE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TP_API __attribute__((visibility("default")))
#else
#define TP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The size of every record handle, in 64-bit words: part of the ABI. */
#define TP_HANDLE_WORDS 6

/*
 * Text of the package: `size` bytes of UTF-8 at `data`, followed by a NUL that is not
 * counted. The text may hold NULs of its own: `size` is its length. `data` is never NULL.
 */
typedef struct tp_text {
  const char* data;
  size_t size;
} tp_text;

/* Bytes of the package: `size` bytes at `data` (NULL when `size` is 0). */
typedef struct tp_bytes {
  const uint8_t* data;
  size_t size;
} tp_bytes;

/* An open, validated package. Opaque. */
typedef struct tp_view tp_view;

/* Why an operation failed. Opaque; made by the library, freed by tp_error_free. */
typedef struct tp_error tp_error;

/*
 * What kind of error a tp_error is. The first five are the library's errors, as the C++
 * API and the Python module name them; the last three are the C API's own.
 */
enum tp_error_kind {
  TP_ERROR_NONE = 0,        /* no error: what tp_error_kind(NULL) gives */
  TP_ERROR_CAPNP = 1,       /* the bytes are no well-formed message, or exceed a reader limit */
  TP_ERROR_IO = 2,          /* the operating system failed to open or read a file */
  TP_ERROR_UTF8 = 3,        /* a text of the package is not valid UTF-8 */
  TP_ERROR_SCHEMA_ENUM = 4, /* an enum field holds a value its enum does not name */
  TP_ERROR_INVALID = 5,     /* the package breaks a rule: wrong header, overlapping segments... */
  TP_ERROR_ARGUMENT = 6,    /* the caller passed NULL where a value is needed */
  TP_ERROR_NO_MEMORY = 7,   /* an allocation of the C API failed */
  TP_ERROR_INTERNAL = 8     /* an unexpected failure inside the library: a bug to report */
};

/* The library's version, "MAJOR.MINOR.PATCH". Static text. Any thread. */
TP_API const char* tp_version(void);

/*
 * Opens the package file at `path` (a NUL-terminated file name) and validates it: a regular
 * file is mapped read-only and closed before this returns; anything else (a pipe) is read
 * into memory. Any thread. On success sets *view to a view the caller owns and closes with
 * tp_view_close, and leaves *error as it was. On failure sets *view to NULL and returns -1:
 * an IO error if the file cannot be opened or read ("cannot open: No such file or
 * directory"), otherwise the package's first fault, with its location. A NULL `path` or
 * `view` is an ARGUMENT error. The memory a view holds stays below 64 MiB + 4 x the
 * package's size.
 *
 * The mapping reads the file as it is: if another process shrinks it while the view is
 * open, touching a page past its new end raises SIGBUS.
 */
TP_API int tp_view_open(const char* path, tp_view** view, tp_error** error);

/*
 * Validates `size` bytes at `data` and views them in place, as tp_view_open views a file,
 * with the same results and ownership. Any thread. The bytes are borrowed: they must stay
 * alive and unchanged until tp_view_close. Bytes not aligned to 8 are copied once, as the
 * message format reads words. NULL `data` is taken as no bytes when `size` is 0 (and
 * refused like any empty input), and is an ARGUMENT error otherwise, as is a NULL `view`.
 */
TP_API int tp_view_from_bytes(const void* data, size_t size, tp_view** view, tp_error** error);

/*
 * Closes a view and releases its memory and mapping; its handles and every pointer into it
 * are invalid after. Not while another thread uses the view. NULL is ignored.
 */
TP_API void tp_view_close(tp_view* view);

/*
 * The error's kind. NULL gives TP_ERROR_NONE. The enum tag and this function share their
 * name, as `struct stat` and stat() do: write `enum tp_error_kind`. Any thread, as every
 * reader of an error below: an error is not changed after it is made.
 */
TP_API enum tp_error_kind tp_error_kind(const tp_error* error);

/*
 * The place in the package the error concerns, in the model's member names with list
 * positions from 0 ("tiles[1].segments[2]", "host_exchange.calls[0].name", "target"); ""
 * when there is none (a file that cannot be opened, a framing error). NUL-terminated,
 * owned by the error. NULL gives "".
 */
TP_API const char* tp_error_location(const tp_error* error);

/*
 * The error as one sentence for people, without the location: "application has no tiles",
 * "cannot open: No such file or directory", "7 is not a ProfileStepKind". Text from the
 * package is in it as it is: a terminal needs it escaped, and a NUL in such text ends the
 * C string early (tp_error_debug escapes every such character). Owned by the error. NULL
 * gives "".
 */
TP_API const char* tp_error_message(const tp_error* error);

/*
 * The error's debug form, the one the C++ API, the Python module and vindle print, e.g.
 * Invalid("application has no tiles") or Io(Os { code: 2, message: "No such file or
 * directory" }). The C API's own kinds read Argument("path is null"), NoMemory and
 * Internal("..."). Owned by the error. NULL gives "".
 */
TP_API const char* tp_error_debug(const tp_error* error);

/* The operating system's error number (errno) of an IO error; 0 for any other or NULL. */
TP_API int tp_error_os_code(const tp_error* error);

/* Frees an error, and the texts read from it. Once, by one thread. NULL is ignored. */
TP_API void tp_error_free(tp_error* error);

/* Enums, record handles, accessors and member lists, generated from the schema. */
#include "torv_package/accessors.h"

/*
 * The root record of the view, valid while the view is open. Any thread. A NULL view gives
 * the empty record.
 */
TP_API tp_application tp_view_application(const tp_view* view);

/*
 * Lookups, as the C++ view's: the first through an index of tiles and binding names that
 * the view sorts on its first lookup, O(log n) each after that. Any thread, at once.
 */

/* Tile memory of the one device configuration supported: the window [BASE, BASE + SIZE). */
#define TP_TILE_MEMORY_BASE 0x4c000u
#define TP_TILE_MEMORY_SIZE 0x9c000u

/*
 * The image of the tile with physical number `physical`: 1 with *tile set, or 0 with *tile
 * the empty record when the package has none. A NULL `view` finds nothing; a NULL `tile`
 * is left unset.
 */
TP_API int tp_view_tile(const tp_view* view, uint32_t physical, tp_tile_image* tile);

/*
 * The binding named by the `size` bytes at `name` (a name is compared byte for byte, and
 * may hold NULs), searched in inputs, then outputs, then weights: 1 with *binding set, or
 * 0 with *binding the empty record. A NULL `view`, or a NULL `name` with a size, finds
 * nothing; a NULL `binding` is left unset.
 */
TP_API int tp_view_binding(const tp_view* view, const char* name, size_t size, tp_binding* binding);

/*
 * Writes the tile's memory as a loader leaves it into the first TP_TILE_MEMORY_SIZE bytes
 * of `buffer` (which holds `size` bytes), for TP_TILE_MEMORY_BASE onwards: each segment's
 * data at its address, zero everywhere else (the rest of a segment's memory_size too).
 * Allocates nothing. Returns 0, or -1 with an error: INVALID ("package has no tile N") for
 * a tile the package lacks, ARGUMENT for a NULL `view` or `buffer` or a `size` below
 * TP_TILE_MEMORY_SIZE; the buffer is then unchanged.
 */
TP_API int tp_view_tile_memory(const tp_view* view, uint32_t physical, uint8_t* buffer, size_t size,
                               tp_error** error);

#ifdef __cplusplus
}
#endif

#endif
