# The C++ runtime mac.xpl links statically in the zig cross-build: the parts
# of zig's bundled libc++abi and libc++ that a plugin can reach (new/delete,
# exceptions, type info, the standard exception classes). Built here rather
# than taken from zig so that it has hidden visibility and nothing of it
# leaves the module; the system's libc++.dylib is not needed.
set(dir ${VELMIR_ZIG_LIB_DIR})
set(sources)
foreach(name abort_message cxa_aux_runtime cxa_default_handlers cxa_demangle cxa_exception
    cxa_exception_storage cxa_guard cxa_handlers cxa_personality cxa_thread_atexit cxa_vector
    cxa_virtual fallback_malloc private_typeinfo stdlib_exception stdlib_new_delete
    stdlib_stdexcept stdlib_typeinfo)
  list(APPEND sources ${dir}/libcxxabi/src/${name}.cpp)
endforeach()
foreach(name exception new stdexcept typeinfo verbose_abort)
  list(APPEND sources ${dir}/libcxx/src/${name}.cpp)
endforeach()
add_library(velmir_mac_cxx_runtime STATIC ${sources})
set_target_properties(velmir_mac_cxx_runtime PROPERTIES
  CXX_STANDARD 20 CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_compile_definitions(velmir_mac_cxx_runtime PRIVATE
  _LIBCXXABI_BUILDING_LIBRARY _LIBCPP_BUILDING_LIBRARY LIBCXX_BUILDING_LIBCXXABI)
target_include_directories(velmir_mac_cxx_runtime PRIVATE ${dir}/libcxx/src ${dir}/libcxxabi/include)
# Someone else's code: their warnings are not ours to fix.
target_compile_options(velmir_mac_cxx_runtime PRIVATE -w)
