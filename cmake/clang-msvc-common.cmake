# Cross-compiles with the Visual C++ ABI: Debian's clang in MSVC mode
# (clang-cl) and lld-link, against the SDK-faithful Windows and C runtime
# headers of libwine-dev and mingw-w64's import libraries of the system DLLs.
#
# There is no Visual C++ runtime here, so everything this toolchain builds
# needs none: no exceptions, no run-time type information, no security
# cookie, no thread-safe static initialisation, no default libraries, and
# each module brings its own entry point. The C functions come from the
# system's msvcrt.dll. C++ library headers that need no compiled code come
# from libc++ (cmake/msvc-sdk fills what Wine's C headers lack for them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)
if(QV_MSVC_ARCH STREQUAL "x64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(QV_MSVC_TRIPLE x86_64-pc-windows-msvc)
  set(QV_MINGW_LIBS /usr/x86_64-w64-mingw32/lib)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(QV_MSVC_TRIPLE i686-pc-windows-msvc)
  set(QV_MINGW_LIBS /usr/i686-w64-mingw32/lib)
endif()

find_program(QV_CLANG_CL NAMES clang-cl clang-cl-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(QV_LLD_LINK NAMES lld-link lld-link-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(QV_LLVM_LIB NAMES llvm-lib llvm-lib-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(QV_LLVM_RC NAMES llvm-rc llvm-rc-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(QV_LLVM_MT NAMES llvm-mt llvm-mt-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
set(CMAKE_C_COMPILER ${QV_CLANG_CL})
set(CMAKE_CXX_COMPILER ${QV_CLANG_CL})
set(CMAKE_C_COMPILER_TARGET ${QV_MSVC_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QV_MSVC_TRIPLE})
set(CMAKE_LINKER ${QV_LLD_LINK})
set(CMAKE_AR ${QV_LLVM_LIB})
set(CMAKE_RC_COMPILER ${QV_LLVM_RC})
set(CMAKE_MT ${QV_LLVM_MT})
# The compiler checks only compile: there is no C runtime start-up to link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

execute_process(COMMAND ${QV_CLANG_CL} /clang:-print-resource-dir
  OUTPUT_VARIABLE QV_CLANG_RESOURCE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
set(QV_WINE_INCLUDE /usr/include/wine/wine)
set(QV_LIBCXX_INCLUDE /usr/lib/llvm-14/include/c++/v1)

# Header search, in this order: libc++, the gaps filled here, clang's own,
# the C runtime and the Windows SDK. /X drops any INCLUDE of the environment.
set(QV_MSVC_FLAGS "/X")
foreach(dir ${QV_LIBCXX_INCLUDE} ${CMAKE_CURRENT_LIST_DIR}/msvc-sdk
            ${QV_CLANG_RESOURCE_DIR}/include ${QV_WINE_INCLUDE}/msvcrt
            ${QV_WINE_INCLUDE}/windows)
  string(APPEND QV_MSVC_FLAGS " -imsvc ${dir}")
endforeach()
# winnt.h defines these itself (the first eight for i386, the last for
# x86-64), and clang has them as builtins.
foreach(name _InterlockedAnd64 _InterlockedCompareExchangePointer
             _InterlockedExchangeAdd64 _InterlockedExchangePointer
             _InterlockedIncrement64 _InterlockedDecrement64 _InterlockedOr64
             _InterlockedXor64 _InterlockedCompareExchange128)
  string(APPEND QV_MSVC_FLAGS " -D${name}=qv${name}")
endforeach()
# Wine's headers name two structures' tags differently from the Windows SDK
# (tagDCB for _DCB, tagCOMSTAT for _COMSTAT); the tags are part of the
# decorated names of the members that take them, so they get the SDK's.
string(APPEND QV_MSVC_FLAGS " -DtagDCB=_DCB -DtagCOMSTAT=_COMSTAT")
# WCHAR is wchar_t, as in the Windows SDK. The C runtime is msvcrt.dll, not
# the Universal CRT; libc++ is used for its headers only.
string(APPEND QV_MSVC_FLAGS " -DWINE_UNICODE_NATIVE -D_MSVCR_VER=0 -D_LIBCPP_NO_EXCEPTIONS -D_LIBCPP_NO_VCRUNTIME"
  " -D_LIBCPP_NO_AUTO_LINK -D_LIBCPP_DISABLE_EXTERN_TEMPLATE"
  " -D_LIBCPP_DISABLE_VISIBILITY_ANNOTATIONS")
# No runtime behind the generated code.
string(APPEND QV_MSVC_FLAGS " /GS- /GR- /EHs-c- /Zl /Zc:threadSafeInit- -Wno-unused-command-line-argument")
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/clang-msvc-rules.cmake)
set(CMAKE_C_FLAGS_INIT "${QV_MSVC_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${QV_MSVC_FLAGS}")
set(CMAKE_RC_FLAGS_INIT "/X -I ${QV_WINE_INCLUDE}/windows -I ${QV_WINE_INCLUDE}/msvcrt")

# The system DLLs' import libraries are mingw-w64's: lld-link reads them
# under the names a Visual C++ project uses (kernel32.lib, ...), which this
# directory gives them.
set(QV_MSVC_SYSLIBS ${CMAKE_BINARY_DIR}/qv-msvc-syslibs)
foreach(lib kernel32 user32 advapi32 ws2_32 bthprops setupapi iphlpapi msvcrt ntdll version shell32)
  if(NOT EXISTS ${QV_MSVC_SYSLIBS}/${lib}.lib)
    file(MAKE_DIRECTORY ${QV_MSVC_SYSLIBS})
    file(CREATE_LINK ${QV_MINGW_LIBS}/lib${lib}.a ${QV_MSVC_SYSLIBS}/${lib}.lib SYMBOLIC)
  endif()
endforeach()
# /safeseh:no: mingw-w64's import libraries carry no safe exception handler
# tables. No default libraries and no manifest: there is no runtime to pull in.
set(QV_MSVC_LINK_FLAGS "/libpath:${QV_MSVC_SYSLIBS} /nodefaultlib /manifest:no /debug /incremental:no /opt:ref /opt:icf")
if(NOT QV_MSVC_ARCH STREQUAL "x64")
  string(APPEND QV_MSVC_LINK_FLAGS " /safeseh:no")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${QV_MSVC_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${QV_MSVC_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${QV_MSVC_LINK_FLAGS}")
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
# No C runtime library to choose (CMake would otherwise pass /MD).
set(CMAKE_MSVC_RUNTIME_LIBRARY "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Marks the flavour for the project and for quorvelConfig.cmake.
set(QUORVEL_MSVC_NO_RUNTIME ON)

if(DEFINED ENV{QV_WINE})
  set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{QV_WINE})
endif()
