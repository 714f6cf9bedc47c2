/* libseqmend: checks a Standard MIDI File for structural damage and writes a repaired copy, and
 * undoes the damage of a text-mode transfer. Every repair is reported as a finding, a record with
 * a stable code and its values; the library never prints, never exits, keeps no process-wide
 * state and touches no file: the caller's streams and callbacks are all it reads and writes.
 *
 * A repair runs in a context that the caller creates; any number of contexts may repair at once
 * on different threads, and one context serves one repair after another. C99; every function is
 * safe to call from C, C++ and any language that binds to C. */
#ifndef SEQMEND_H
#define SEQMEND_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(SEQMEND_SHARED_BUILD)
#define SEQMEND_API __declspec(dllexport)
#elif defined(_WIN32) && defined(SEQMEND_SHARED)
#define SEQMEND_API __declspec(dllimport)
#elif defined(__GNUC__) && defined(SEQMEND_SHARED_BUILD)
#define SEQMEND_API __attribute__((visibility("default")))
#else
#define SEQMEND_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ---- */

#define SEQMEND_VERSION_MAJOR 1
#define SEQMEND_VERSION_MINOR 16
#define SEQMEND_VERSION_PATCH 0
/* MAJOR * 10000 + MINOR * 100 + PATCH: 11600 for 1.16.0. */
#define SEQMEND_VERSION_NUMBER \
  (SEQMEND_VERSION_MAJOR * 10000 + SEQMEND_VERSION_MINOR * 100 + SEQMEND_VERSION_PATCH)
#define SEQMEND_VERSION_STRING "1.16.0"

/* The version of the library linked, which may be newer than the header compiled against. */
SEQMEND_API unsigned seqmend_version_number(void);
SEQMEND_API const char* seqmend_version_string(void);

/* ---- Verdicts and failures ---- */

typedef enum seqmend_verdict {
  SEQMEND_FAILED = -1,  /* the input could not be treated; the findings and the failure say why */
  SEQMEND_SOUND = 0,    /* nothing to repair: the output is the input unchanged */
  SEQMEND_REPAIRED = 1  /* at least one repair; the output is the repaired file */
} seqmend_verdict;

/* The stream whose failure ended a repair. */
typedef enum seqmend_stream {
  SEQMEND_STREAM_NONE = 0,
  SEQMEND_STREAM_INPUT = 1,  /* a read failed, or the input ended before its size */
  SEQMEND_STREAM_OUTPUT = 2, /* a write of the repaired file failed */
  SEQMEND_STREAM_EXTRA = 3,  /* the caller's on_extra callback refused an extra file */
  SEQMEND_STREAM_MEMORY = 4  /* the library could not get the memory it needs */
} seqmend_stream;

typedef struct seqmend_result {
  int verdict;        /* a seqmend_verdict */
  int crlf_hint;      /* not sound, and a CR LF pair stands after offset 0: the damage may be a
                         text-mode transfer's, which eolmend's restoration undoes */
  int failed_stream;  /* a seqmend_stream; SEQMEND_STREAM_NONE unless the repair failed so */
  int error;          /* the system's error number of that failure; 0 where the input ended
                         before its size */
  int extra_count;    /* further MIDI files found behind the data */
  uint64_t output_size; /* bytes of the repaired file */
} seqmend_result;

/* ---- Findings ---- */

/* A code, once given, keeps its number, its name and its meaning. */
typedef enum seqmend_code {
  /* The input as a whole. */
  SEQMEND_FILE_TOO_LARGE = 1,       /* "file-too-large": 2 GiB or more */
  SEQMEND_NO_MIDI_DATA = 2,         /* "no-midi-data" */
  SEQMEND_NOT_A_MIDI_FILE = 3,      /* "not-a-midi-file": tag (the tag missing) */
  SEQMEND_SNIO_HEADER = 4,          /* "snio-header" */
  SEQMEND_SONG_HEADER = 5,          /* "song-header" */
  SEQMEND_STRANGE_HEADER = 6,       /* "strange-header" */
  SEQMEND_INVALID_FORMAT = 7,       /* "invalid-format": value */
  SEQMEND_INVALID_DIVISION = 8,     /* "invalid-division": value */
  /* Chunks. */
  SEQMEND_HEADER_LENGTH_UPDATED = 9,  /* "header-length-updated" */
  SEQMEND_TRACK_LENGTH_UPDATED = 10,  /* "track-length-updated": track */
  SEQMEND_GARBAGE_BETWEEN_TRACKS = 11, /* "garbage-between-tracks": count */
  SEQMEND_TRACKS_MISSING = 12,      /* "tracks-missing": count */
  SEQMEND_NEW_TRACKS_FOUND = 13,    /* "new-tracks-found": count */
  SEQMEND_TRACK_COUNT_UPDATED = 14, /* "track-count-updated": count */
  SEQMEND_FORMAT_0_SEVERAL_TRACKS = 15, /* "format-0-several-tracks": value, count */
  SEQMEND_FORMAT_UPDATED = 16,      /* "format-updated": value */
  /* Behind the data. */
  SEQMEND_TRAILING_GARBAGE = 17,    /* "trailing-garbage": count */
  SEQMEND_EXTRA_FILE = 18,          /* "extra-file": file */
  /* Events. */
  SEQMEND_INCOMPLETE_EVENT = 19,    /* "incomplete-event": offset */
  SEQMEND_INVALID_EVENT = 20,       /* "invalid-event": offset */
  SEQMEND_INVALID_STATUS = 21,      /* "invalid-status": byte, offset */
  SEQMEND_INVALID_NOTE = 22,        /* "invalid-note": offset */
  SEQMEND_INVALID_CONTROL_VALUE = 23, /* "invalid-control-value": offset */
  SEQMEND_INVALID_PROGRAM = 24,     /* "invalid-program": offset */
  SEQMEND_INVALID_AFTERTOUCH = 25,  /* "invalid-aftertouch": offset */
  SEQMEND_INCOMPLETE_SYSEX = 26,    /* "incomplete-sysex" */
  SEQMEND_BYTES_LOST = 27,          /* "bytes-lost": count */
  SEQMEND_END_OF_TRACK_ADDED = 28,  /* "end-of-track-added" */
  SEQMEND_MIXED_CHANNELS = 29,      /* "mixed-channels" */
  SEQMEND_SYSEX_BYTE_OUT_OF_RANGE = 30, /* "sysex-byte-out-of-range": byte */
  SEQMEND_GM_ON_PAUSE = 31,         /* "gm-on-pause" */
  /* The undoing of text-mode damage. "what" is the header (track 0), a track (track), or another
     chunk (tag, offset). */
  SEQMEND_CRLF_TO_LF = 32,          /* "crlf-to-lf": what, count (bytes removed) */
  SEQMEND_LF_TO_CRLF = 33,          /* "lf-to-crlf": what, count (bytes inserted) */
  SEQMEND_RESTORATION_AMBIGUOUS = 34, /* "restoration-ambiguous": what */
  SEQMEND_SEARCH_GIVEN_UP = 35,     /* "search-given-up": what */
  SEQMEND_NOT_RESTORABLE = 36,      /* "not-restorable": what */
  SEQMEND_NO_CHUNK = 37,            /* "no-chunk": count, offset */
  SEQMEND_TRACK_COUNT_DIFFERS = 38, /* "track-count-differs": value (counted), count (found) */
  SEQMEND_NOTHING_UNDONE = 39,      /* "nothing-undone" */
  SEQMEND_NOT_ENOUGH_MEMORY = 40,   /* "not-enough-memory" */
  /* The normal form (SEQMEND_NORMALIZE): what it changes beyond the ordinary repair. Offsets are
     those of the event's status byte. */
  SEQMEND_HEADER_SURPLUS_REMOVED = 41, /* "header-surplus-removed": count */
  SEQMEND_DATA_BYTE_CLAMPED = 42,   /* "data-byte-clamped": byte, offset */
  SEQMEND_CHANNEL_EVENT_REMOVED = 43, /* "channel-event-removed": byte, offset */
  SEQMEND_KEY_SIGNATURE_REMOVED = 44, /* "key-signature-removed": offset */
  SEQMEND_SMPTE_OFFSET_REMOVED = 45, /* "smpte-offset-removed": offset */
  SEQMEND_TIME_SIGNATURE_REMOVED = 46, /* "time-signature-removed": offset */
  SEQMEND_TEMPO_REMOVED = 47,       /* "tempo-removed": offset */
  SEQMEND_META_EVENT_REMOVED = 48,  /* "meta-event-removed": byte (the type), offset */
  SEQMEND_SYSEX_BYTE_CLEARED = 49,  /* "sysex-byte-cleared": byte, value (written), offset */
  SEQMEND_END_OF_TRACK_DATA_REMOVED = 50, /* "end-of-track-data-removed": offset */
  SEQMEND_EARLY_END_OF_TRACK_REMOVED = 51, /* "early-end-of-track-removed": offset */
  SEQMEND_STATUS_WRITTEN_AGAIN = 52 /* "status-written-again": track, count (events whose running
                                       status became a written one) */
} seqmend_code;

/* One finding, with the values its line shows. A value that the code does not carry is -1
 * (numbers) or empty (texts). */
typedef struct seqmend_finding {
  int code;       /* a seqmend_code */
  int track;      /* track number from 1; 0 for the header chunk */
  int value;      /* a header field's value */
  int byte;       /* a byte's value */
  int64_t offset; /* absolute offset in the input */
  int64_t count;  /* bytes or tracks */
  char tag[5];    /* a chunk tag, NUL-terminated */
  char file[24];  /* the name an extra file takes: "extra1.mid", ... */
} seqmend_finding;

/* The stable name of a code ("track-length-updated"); NULL for a number that is no code. */
SEQMEND_API const char* seqmend_code_name(int code);

/* Renders a finding as the line the programs print for it, input_name first, with its "\n".
 * Writes at most size bytes, NUL included, like snprintf, and returns the length of the whole
 * line (without the NUL); a return of size or more means the line was cut. */
SEQMEND_API size_t seqmend_render(const seqmend_finding* finding, const char* input_name,
                                  char* buffer, size_t size);

/* ---- Streams ---- */

/* An input read at offsets. read fills buffer with up to size bytes from offset and sets *got;
 * fewer only where the input ends. Returns 0, or the system's error number. */
typedef struct seqmend_reader {
  void* context;
  uint64_t size; /* the input's size in bytes */
  int (*read)(void* context, uint64_t offset, void* buffer, size_t size, size_t* got);
} seqmend_reader;

/* An output written at offsets: write puts size bytes at offset, which is at most the size
 * written so far (a header or length field is rewritten in place; everything else comes in
 * order). Returns 0, or the system's error number. */
typedef struct seqmend_writer {
  void* context;
  int (*write)(void* context, uint64_t offset, const void* bytes, size_t size);
} seqmend_writer;

/* ---- Options ---- */

/* Copy each track's events unchanged; only the chunk structure is repaired. */
#define SEQMEND_TRACKS_ONLY 0x1u
/* Write the normal form: the repaired content in the encoding that strict readers load. The
 * header is exactly 6 bytes; every channel data byte is below 0x80; meta events whose values no
 * reader accepts are left out (their delta times go to the next event); a system exclusive
 * message holds no F0 or F7 between its first and last byte; every event after a meta, system
 * exclusive or system message has its status byte; each track ends with one end of track. A
 * file already so is sound; a sound file that is not is rewritten (SEQMEND_REPAIRED). With
 * SEQMEND_TRACKS_ONLY the events are copied unchanged and only the header is normalized. */
#define SEQMEND_NORMALIZE 0x2u

typedef struct seqmend_options {
  unsigned flags; /* SEQMEND_TRACKS_ONLY, SEQMEND_NORMALIZE */
  /* Each finding as it is made, in order. NULL: none. */
  void (*on_finding)(void* context, const seqmend_finding* finding);
  /* Each further MIDI file found behind the data, numbered from 1, right after its finding: the
   * input's bytes [offset, offset + size) are an unchanged copy of it. Returns 0 to go on, or an
   * error number, which ends the repair failed (SEQMEND_STREAM_EXTRA). NULL: they are only
   * reported. */
  int (*on_extra)(void* context, int number, uint64_t offset, uint64_t size);
  void* context; /* handed to both callbacks */
} seqmend_options;

/* ---- Repairs ---- */

typedef struct seqmend_context seqmend_context;

/* A context for repairs, its buffers on the heap; NULL when the memory cannot be had. */
SEQMEND_API seqmend_context* seqmend_context_new(void);
SEQMEND_API void seqmend_context_free(seqmend_context* context);

/* Repairs the input into the writer, reading it at offsets and holding a few fixed buffers
 * whatever its size. options may be NULL. Returns the verdict, also kept in *result (which may be
 * NULL). On SEQMEND_FAILED the writer may have been given a part of a file, which the caller
 * drops; on SEQMEND_SOUND it has been given the input's MIDI data unchanged (without what may
 * follow them unreported, such as an XF information block): the input itself is the sound file. */
SEQMEND_API int seqmend_repair_stream(seqmend_context* context, const seqmend_options* options,
                                      const seqmend_reader* input, const seqmend_writer* output,
                                      seqmend_result* result);

/* Repairs size bytes at data. The repaired file, the findings and the extra files stay in the
 * context until its next repair or its end (below). data must stay unchanged until then. */
SEQMEND_API int seqmend_repair_memory(seqmend_context* context, const seqmend_options* options,
                                      const void* data, size_t size, seqmend_result* result);

/* Undoes the damage of a text-mode transfer: every chunk that proves sound with its line ends
 * restored is restored (eolmend). SEQMEND_REPAIRED when a chunk was restored, SEQMEND_SOUND when
 * the file is sound as it stands (the output is the input), SEQMEND_FAILED when it is neither.
 * The results stay in the context as for seqmend_repair_memory. flags are not used. */
SEQMEND_API int seqmend_restore_memory(seqmend_context* context, const seqmend_options* options,
                                       const void* data, size_t size, seqmend_result* result);

/* The same from a reader to a writer; the input is held in memory whole while it is restored. */
SEQMEND_API int seqmend_restore_stream(seqmend_context* context, const seqmend_options* options,
                                       const seqmend_reader* input, const seqmend_writer* output,
                                       seqmend_result* result);

/* After a memory repair or restoration: the output (the repaired file, or the input itself when
 * it was sound; NULL with size 0 after a failure), the findings in order, and the extra files,
 * numbered from 1, as pointers into the input. */
SEQMEND_API const unsigned char* seqmend_output(const seqmend_context* context, size_t* size);
SEQMEND_API size_t seqmend_finding_count(const seqmend_context* context);
SEQMEND_API const seqmend_finding* seqmend_finding_at(const seqmend_context* context,
                                                      size_t index);
SEQMEND_API const unsigned char* seqmend_extra(const seqmend_context* context, int number,
                                               size_t* size);

#ifdef __cplusplus
}
#endif

#endif /* SEQMEND_H */
