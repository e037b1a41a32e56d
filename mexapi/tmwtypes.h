// Basic types shared by the MATLAB interface (matrix.h, mex.h) and the
// SimStruct (simstruc.h), sized as the S-function sources expect them.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef double real_T;
typedef double time_T;
typedef float real32_T;
typedef double real64_T;
typedef int8_t int8_T;
typedef uint8_t uint8_T;
typedef int16_t int16_T;
typedef uint16_t uint16_T;
typedef int32_t int32_T;
typedef uint32_t uint32_T;
typedef int64_t int64_T;
typedef uint64_t uint64_T;
typedef int int_T;
typedef unsigned int uint_T;
typedef unsigned char boolean_T;
typedef char char_T;
typedef unsigned char uchar_T;
typedef char_T byte_T;

#ifndef TRUE
#define TRUE (1U)
#endif
#ifndef FALSE
#define FALSE (0U)
#endif
