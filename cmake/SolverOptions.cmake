# Compile options shared by every target of the project, tests included: the
# tests compute expected values with the library's own arithmetic, so they
# must see the same floating-point model. Contraction stays off (an FMA
# changes the last bit of a sum) and nothing may reassociate. Both compilers
# need the flag: by default gcc contracts C++ (-ffp-contract=fast) and so does
# clang (-ffp-contract=on), turning a*b + c into an FMA as soon as the target
# has one (-march=haswell and later). scripts/test.sh checks that the gcc and
# clang builds write the same bits.
function(solver_options target)
  target_compile_features(${target} PRIVATE cxx_std_17)
  target_compile_options(${target} PRIVATE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -ffp-contract=off -fno-fast-math>)
endfunction()

# Hidden symbols by default: only classes marked QVL3D_EXPORT leave a library.
function(hidden_symbols target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
