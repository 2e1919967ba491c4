/* What the parts of the fast workers share: the sampling plan
 * (convert_fast_plan.c), the kernels (convert_fast_kernels.c, with the AVX2
 * one in convert_fast_avx2.c and the AVX-512 one in convert_fast_avx512.c),
 * the line-parallel thread pool
 * (convert_fast_pool.c), the workers (convert_fast.c) and the fan view
 * (fan_view.c). Not for use outside the engine. */
#pragma once

#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

#include "convert_fast.h"
#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define FAST_HAVE_AVX2 1
#define FAST_HAVE_AVX512 1
#else
#define FAST_HAVE_AVX2 0
#define FAST_HAVE_AVX512 0
#endif

/* Inlined even where the compiler would not: the kernels spell out the tap
 * classes as constants and rely on each one compiling to code of its own. */
#if defined(__GNUC__)
#define FAST_INLINE __attribute__((always_inline)) inline
#else
#define FAST_INLINE inline
#endif

#define GROUP 8u             /* LEDs per plan block (one AVX2 vector) */
#define WIDE_GROUP 16u       /* LEDs per AVX-512 vector: two blocks */
#define MAX_EXACT (1u << 24) /* larger coordinates are not exact in single precision */
#define MAX_RAMP (1 << 20)   /* a brightness ramp over this many LEDs or more is not planned */
#define SCRATCH_ALIGN 128u   /* per-thread scratch is whole blocks of this size */
#define FAST_LUT_MARGIN 4u   /* bytes before and after the lookup table: whole words are read */

/* Where LED j of a block keeps its fractions and its index: the AVX2
 * kernel's gathers deliver the LEDs in this order (the order is its own
 * inverse). */
extern const uint8_t fast_lane_of[GROUP];

/* Tap classes. An LED's two sub-sample columns xa (at x - 0.25) and xb (at
 * x + 0.25) are either the same column or neighbours, and so are its two
 * sub-sample rows ya and yb. Together the four sub-samples read a square of
 * two or three columns by two or three rows of pixels, and each pixel of
 * it needs loading and converting only once:
 *   FAST_WIDE: xb = xa + 1 (columns xa .. xa + 2), otherwise xb = xa;
 *   FAST_TALL: yb = ya + 1 (rows ya .. ya + 2), otherwise yb = ya. */
enum { FAST_WIDE = 1, FAST_TALL = 2, FAST_CLASSES = 4 };

/* Sampling plan of eight LEDs of one line that are all of one tap class
 * (the blocks of a line hold its LEDs sorted by class; see fast_line).
 * tap is the byte offset of the upper-left pixel of the LED's square (3 x
 * xa + ya x stride), in LED order; the other taps follow from the class.
 * The fractional parts f and the LED's index on the line (led) are in
 * fast_lane_of order. A block that a class does not fill is completed with
 * fillers: tap 0, fractions 0 and index lights, a slot past the line. The
 * four sub-samples are (xa, ya), (xb, ya), (xa, yb), (xb, yb). */
typedef struct fast_block {
    uint32_t tap[GROUP];
    float fxa[GROUP], fxb[GROUP], fya[GROUP], fyb[GROUP];
    uint32_t led[GROUP];
} fast_block;

/* The blocks of one line: count[c] blocks of class c, the classes one after
 * another from plan->blocks + first on. */
typedef struct fast_line {
    uint32_t first;
    uint32_t count[FAST_CLASSES];
} fast_line;

/* Bit-plane layout of one line: D planes of B bytes, each P zero bits and
 * then 3 x lights value bits. Packing works on a padded value array of
 * 8 x B bytes (P zero bytes, then the values), in 32-byte chunks, or two
 * chunks at a time (the array and each plane's scratch have room for an
 * even number of chunks). */
typedef struct fast_packing {
    uint32_t depth;       /* D */
    uint32_t plane_bytes; /* B */
    uint32_t pad_bits;    /* P */
    uint32_t chunks;      /* 32-byte chunks of the padded value array */
    size_t planes_stride; /* scratch bytes per packed plane (4 x chunks, rounded up to 8) */
    size_t line_bytes;    /* D x B */
} fast_packing;

struct convert_fast_plan {
    uint32_t lights, lines;
    fast_packing pack;
    uint32_t width, height, stride; /* stride = 3 x width */
    uint32_t frame_size;            /* bytes of one frame in the file */
    /* Frame buffer: frame_size + zeroed slack for the right and lower taps. */
    size_t frame_alloc;
    uint32_t groups;        /* blocks of eight LEDs in line order (the value array's size) */
    size_t frame_out_bytes; /* lines x D x B */
    /* Scratch: the padded value array, then from words_at (32-aligned) one
     * 32-bit word per LED of every group of sixteen and the fillers' slot. */
    size_t values_alloc;
    size_t words_at;
    fast_line* line;    /* lines */
    fast_block* blocks; /* the lines' blocks, line after line */
    size_t block_count;
    uint32_t ramp; /* LEDs (from the centre) that the brightness ramp changes */
    uint8_t* lut;  /* row r + 1: tone curve and brightness at distance r < ramp */
    /* The table's allocation (FAST_LUT_MARGIN bytes, the table, as many)
     * and its size. */
    uint8_t* lut_block;
    size_t lut_bytes;
};

/* Per-thread scratch: the line's values with P leading zero bytes, then its
 * packed planes. */
typedef struct fast_scratch {
    uint8_t* values;
    uint8_t* planes;
} fast_scratch;

/* ---------------------------------------------------------------- plan -- */

void fast_packing_init(fast_packing* pack, uint32_t lights, uint32_t depth);

/* Bytes of a padded value array that holds `values` values stored with
 * 16-byte stores (up to 16 bytes past the last) and is read in whole
 * 32-byte chunks, two at a time. */
size_t fast_values_bytes(const fast_packing* pack, size_t values);

/* Per-thread scratch bytes of a plan, a multiple of SCRATCH_ALIGN, so that
 * no two threads ever write to the same cache line. */
size_t fast_scratch_bytes(const convert_fast_plan* plan);

/* ------------------------------------------------------------- kernels -- */

/* Converts lines first .. end - 1 of a frame (with the plan's zeroed slack,
 * frame_alloc bytes) into their bit planes at out + l x line_bytes. */
typedef void (*fast_lines_fn)(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                              uint32_t end, uint8_t* out, fast_scratch* scratch);

/* Packs the D planes of one line from its padded value array into out (D
 * planes of B bytes); planes is scratch of D x planes_stride bytes. */
typedef void (*fast_pack_fn)(const fast_packing* pack, const uint8_t* values, uint8_t* planes,
                             uint8_t* out);

/* The fan view's values of a whole frame (frame_size bytes, no slack needed)
 * into lines x lights x 3 bytes, before the cut to the kept bits. Returns 0,
 * or -1 when memory is short (nothing written). */
typedef int (*fast_leds_fn)(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds);

/* One kernel: what the flat worker, the 360 worker and the fan view run. */
typedef struct fast_kernel {
    fast_lines_fn lines;
    fast_pack_fn pack_line;
    fast_leds_fn leds;
} fast_kernel;

/* The kernel to run for a choice: AUTO takes the best one the processor
 * has; AVX512 takes AVX-512, or where the processor or the system lacks it
 * AVX2; AVX2 takes AVX2; without AVX2 every choice is the generic one. */
const fast_kernel* fast_kernel_for(convert_fast_kernel kernel);

extern const fast_kernel fast_kernel_generic;

/* The floor of a kernel (convert_fast_probe.h): its reads of the plan and
 * loads of the frame's pixels for lines first .. end - 1 of a frame with
 * the plan's slack, without arithmetic. Returns a value that depends on
 * every load. */
typedef uint32_t (*fast_floor_fn)(const convert_fast_plan* plan, const uint8_t* frame,
                                  uint32_t first, uint32_t end);

uint32_t fast_floor_generic(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                            uint32_t end);

#if FAST_HAVE_AVX2
extern const fast_kernel fast_kernel_avx2;
int fast_cpu_has_avx2(void);
uint32_t fast_floor_avx2(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                         uint32_t end);
#endif

#if FAST_HAVE_AVX512
extern const fast_kernel fast_kernel_avx512;
/* AVX-512 F, BW, DQ, VL and VBMI, with the system saving their registers. */
int fast_cpu_has_avx512(void);
uint32_t fast_floor_avx512(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                           uint32_t end);
#endif

/* ---------------------------------------------------------------- pool -- */

/* A thread's home range of chunks of lines: it converts these first, so
 * that its part of the plan tends to stay in its own cache from frame to
 * frame, and then helps with the others. Aligned apart: every claim writes
 * to it. */
typedef struct fast_range {
    _Alignas(128) atomic_uint_fast64_t work; /* generation << 32 | next chunk to claim */
    uint32_t end;                            /* first chunk of the next range */
} fast_range;

typedef struct fast_helper fast_helper;

/* The pool's conditions. */
enum {
    FAST_WAKE = 0, /* helpers: a new frame or quit */
    FAST_IDLE = 1  /* job thread: the last chunk is done */
};

/* The converting threads of one job: the job thread and `helpers` more.
 * Per frame the job thread posts the frame; every thread then claims chunks
 * of lines until none is left, and the job thread waits until every claimed
 * chunk is done. A claim names the frame's generation, so a helper that wakes
 * late (after the job thread has done the frame alone) can never take a chunk
 * of a later frame with an earlier frame's buffers; the job thread never
 * waits for a helper that is not working. With no helpers everything runs on
 * the job thread. */
typedef struct fast_pool {
    const convert_fast_plan* plan;
    fast_lines_fn kernel;
    fast_scratch* scratch; /* [0] for the job thread, [1 + h] for helper h */
    engine_thread** threads;
    fast_helper* helper_args;
    unsigned helpers;
    engine_lock* lock;    /* conditions FAST_WAKE and FAST_IDLE */
    uint32_t generation;  /* of the posted frame; under lock */
    int quit;             /* under lock */
    int pending;          /* a posted frame not yet finished (job thread only) */
    const uint8_t* frame; /* of the posted frame; under lock */
    uint8_t* out;
    uint32_t chunk_lines;
    uint32_t chunk_count;
    unsigned ranges;             /* one home range of chunks per thread */
    fast_range* range;           /* [0] the job thread's, [1 + h] helper h's */
    atomic_uint_fast64_t posted; /* generation of the posted frame, for spinning helpers */
    atomic_uint done;            /* chunks of the posted frame finished */
    atomic_int stopping;         /* quit, readable without the lock */
} fast_pool;

/* Prepares a pool of `threads` converting threads (the job thread and
 * threads - 1 helpers, 1 <= threads <= plan lines) over scratch[0 ..
 * threads - 1] and starts the helpers; a helper that cannot be started only
 * costs speed. Returns 0, or -1 when memory or a lock is short; fast_pool_free
 * releases what was prepared in either case. */
int fast_pool_init(fast_pool* pool, const convert_fast_plan* plan, fast_lines_fn kernel,
                   fast_scratch* scratch, unsigned threads);

/* Starts a frame's conversion on the helpers (nothing yet without helpers). */
void fast_pool_post(fast_pool* pool, const uint8_t* frame, uint8_t* out);

/* Converts on the job thread too until the posted frame is done. */
void fast_pool_finish(fast_pool* pool);

/* Stops and joins the helpers. */
void fast_pool_stop(fast_pool* pool);

/* Stops the pool and releases it (also after a failed or no init). */
void fast_pool_free(fast_pool* pool);

/* Heap bytes of a pool of `threads` threads, besides the scratch. */
size_t fast_pool_bytes(unsigned threads);

#ifdef __cplusplus
}
#endif
