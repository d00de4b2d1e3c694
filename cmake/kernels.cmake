# The fast training kernels for x86-64 instruction sets beyond the baseline.
# Each file gets its own flags; the program picks one at run time after
# asking the processor, so the executable still runs on any x86-64.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64)$")
  set(NETTRAINER_AVX2_KERNELS ${CMAKE_SOURCE_DIR}/nn/kernels/train_fast_avx2.cpp)
  set(NETTRAINER_AVX512_KERNELS ${CMAKE_SOURCE_DIR}/nn/kernels/train_fast_avx512.cpp)
  target_sources(nettrainer_core PRIVATE ${NETTRAINER_AVX2_KERNELS} ${NETTRAINER_AVX512_KERNELS})
  if(MSVC)
    set_source_files_properties(${NETTRAINER_AVX2_KERNELS} PROPERTIES COMPILE_OPTIONS "/arch:AVX2")
    set_source_files_properties(${NETTRAINER_AVX512_KERNELS} PROPERTIES COMPILE_OPTIONS "/arch:AVX512")
  else()
    set_source_files_properties(${NETTRAINER_AVX2_KERNELS} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
    set_source_files_properties(${NETTRAINER_AVX512_KERNELS} PROPERTIES
      COMPILE_OPTIONS "-mavx512f;-mavx512bw;-mavx512dq;-mavx512vl;-mavx2;-mfma")
  endif()
  target_compile_definitions(nettrainer_core PRIVATE NETTRAINER_X86_KERNELS=1)
endif()
