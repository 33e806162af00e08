# Compile options shared by every target of the project.
#
# The maps are defined bit for bit: every floating-point operation is done in
# the width and order the source states. Contracting a multiply and an add into
# one fused operation, or any fast-math reassociation, changes the results, so
# contraction is switched off everywhere and no fast-math flag is ever used.

if(MSVC)
  add_compile_options(/W4 /fp:precise /permissive-)
else()
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
                      -ffp-contract=off -fno-fast-math)
endif()

if(TARVEX_WARNINGS_AS_ERRORS)
  add_compile_options($<IF:$<CXX_COMPILER_ID:MSVC>,/WX,-Werror>)
endif()

if(TARVEX_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "TARVEX_SANITIZE is supported with GCC and Clang only")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Every exported symbol of the plug-in is marked; everything else stays hidden.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
