/* Repairs a MIDI file held in memory with libseqmend, and prints what seqmend prints for it.
 *
 * usage: repair_buffer input.mid output.mid
 *
 * The whole input is read into a buffer and handed to seqmend_repair_memory. Each finding is
 * rendered to seqmend's line, then the verdict follows; a repaired file is written to
 * output.mid and each further MIDI file found behind the data to extra1.mid, extra2.mid, ...
 * Exits with 0 when the file is sound or repaired, 1 otherwise. No file that exists already is
 * replaced, so the input can never be overwritten. C99 and the library's header only. */
#include <seqmend.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Reads a whole file into a buffer from malloc; NULL (errno set by the C library) on failure. */
static unsigned char* readWholeFile(const char* name, size_t* size) {
  FILE* in = fopen(name, "rb");
  unsigned char* data = NULL;
  size_t capacity = 0;
  *size = 0;
  if (in == NULL) {
    return NULL;
  }
  for (;;) {
    if (*size == capacity) {
      unsigned char* grown = realloc(data, capacity == 0 ? 65536 : capacity * 2);
      if (grown == NULL) {
        break;
      }
      data = grown;
      capacity = capacity == 0 ? 65536 : capacity * 2;
    }
    const size_t got = fread(data + *size, 1, capacity - *size, in);
    *size += got;
    if (got == 0) {
      break;
    }
  }
  if (ferror(in) || !feof(in)) {
    free(data);
    data = NULL;
  }
  fclose(in);
  return data;
}

/* Writes size bytes to a new file; 0 when the name is taken already or the write fails. */
static int writeNewFile(const char* name, const unsigned char* bytes, size_t size) {
  FILE* existing = fopen(name, "rb");
  if (existing != NULL) {
    fclose(existing);
    fprintf(stderr, "%s: exists already, not replaced\n", name);
    return 0;
  }
  FILE* out = fopen(name, "wb");
  if (out == NULL) {
    perror(name);
    return 0;
  }
  const int whole = fwrite(bytes, 1, size, out) == size;
  if (fclose(out) != 0 || !whole) {
    perror(name);
    return 0;
  }
  return 1;
}

/* Prints a finding as seqmend's line for it; a line too long for the buffer is cut. */
static void printFinding(const seqmend_finding* finding, const char* inputName) {
  char line[512];
  const size_t length = seqmend_render(finding, inputName, line, sizeof line);
  fputs(line, stdout);
  if (length >= sizeof line) {
    putchar('\n');
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: repair_buffer input.mid output.mid (libseqmend %s)\n",
            seqmend_version_string());
    return 1;
  }
  size_t size = 0;
  unsigned char* data = readWholeFile(argv[1], &size);
  if (data == NULL) {
    perror(argv[1]);
    return 1;
  }
  seqmend_context* context = seqmend_context_new();
  if (context == NULL) {
    fprintf(stderr, "%s: not enough memory\n", argv[1]);
    free(data);
    return 1;
  }

  seqmend_result result;
  const int verdict = seqmend_repair_memory(context, NULL, data, size, &result);
  for (size_t i = 0; i < seqmend_finding_count(context); ++i) {
    printFinding(seqmend_finding_at(context, i), argv[1]);
  }
  int status = verdict == SEQMEND_FAILED;
  for (int number = 1; number <= result.extra_count; ++number) {
    char name[24];
    size_t extraSize = 0;
    const unsigned char* extra = seqmend_extra(context, number, &extraSize);
    snprintf(name, sizeof name, "extra%d.mid", number);
    status |= !writeNewFile(name, extra, extraSize);
  }
  if (verdict == SEQMEND_SOUND) {
    printf("%s is ok.\n", argv[1]);
  } else if (verdict == SEQMEND_REPAIRED) {
    size_t outputSize = 0;
    const unsigned char* output = seqmend_output(context, &outputSize);
    if (writeNewFile(argv[2], output, outputSize)) {
      printf("%s contains errors. Fixed output written to %s\n", argv[1], argv[2]);
      if (result.crlf_hint) {
        printf(
            "if the results are not sufficient then try eolmend,\n"
            "because this file might contain cr/lf problems\n");
      }
    } else {
      status = 1;
    }
  } else if (result.failed_stream != SEQMEND_STREAM_NONE) {
    fprintf(stderr, "%s: repair failed (stream %d, error %d)\n", argv[1], result.failed_stream,
            result.error);
  }
  seqmend_context_free(context);
  free(data);
  return status;
}
