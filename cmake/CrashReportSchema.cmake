# The crash report's message schema is compiled at build time; the generated C lives in the
# build tree and is compiled into MovaraAppKit.
find_program(QUINTOR_PROTOC_C protoc-c REQUIRED)
set(crash_proto_rel MovaraAppKit/CrashReporter/mvcrash_report.proto)
set(crash_proto_out ${CMAKE_BINARY_DIR}/generated/MovaraAppKit/CrashReporter)
add_custom_command(
  OUTPUT ${crash_proto_out}/mvcrash_report.pb-c.c ${crash_proto_out}/mvcrash_report.pb-c.h
  COMMAND ${CMAKE_COMMAND} -E make_directory ${crash_proto_out}
  COMMAND ${QUINTOR_PROTOC_C} --c_out=${CMAKE_BINARY_DIR}/generated --proto_path=${CMAKE_SOURCE_DIR} ${crash_proto_rel}
  DEPENDS ${CMAKE_SOURCE_DIR}/${crash_proto_rel}
  COMMENT "Compiling the crash report schema")
target_sources(MovaraAppKit PRIVATE ${crash_proto_out}/mvcrash_report.pb-c.c)
set_source_files_properties(${crash_proto_out}/mvcrash_report.pb-c.c PROPERTIES COMPILE_OPTIONS "-w")
target_include_directories(MovaraAppKit PUBLIC ${CMAKE_BINARY_DIR}/generated)
