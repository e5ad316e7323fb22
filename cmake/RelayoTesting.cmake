# In the sanitizer build (RELAYO_SANITIZE, with clang) the code and the tests are built with
# AddressSanitizer and UndefinedBehaviorSanitizer and the fuzz targets with libFuzzer. Tests
# labelled "torch" (they link libtorch) and "tsan" (ThreadSanitizer has a build of its own)
# are left out of it; `relayo-sanitized` builds the rest.
set(RELAYO_SANITIZER_ENVIRONMENT
    "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
    "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/../tests/lsan-suppressions.txt:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")

# relayo_add_test(NAME SOURCES ... LIBRARIES ... [LABELS ...] [TIMEOUT seconds])
# One QtTest executable per component, registered with CTest. A test labelled "sound" runs on
# each sound server, as NAME-pulseaudio and NAME-pipewire; one labelled "window" on each
# display, as NAME-x11 (with PulseAudio) and NAME-wayland (with PipeWire). Each run is labelled
# with the services it uses and holds them (a window, the keyring too), so that parallel runs
# never share them.
function(relayo_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;LABELS" ${ARGN})
    if(RELAYO_SANITIZE AND ("torch" IN_LIST ARG_LABELS OR "tsan" IN_LIST ARG_LABELS))
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBRARIES})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    if("window" IN_LIST ARG_LABELS)
        relayo_add_test_on(${name} x11 "${ARG_LABELS};x11;pulseaudio" ${ARG_TIMEOUT})
        relayo_add_test_on(${name} wayland "${ARG_LABELS};wayland;pipewire" ${ARG_TIMEOUT})
    elseif("sound" IN_LIST ARG_LABELS)
        relayo_add_test_on(${name} pulseaudio "${ARG_LABELS};pulseaudio" ${ARG_TIMEOUT})
        relayo_add_test_on(${name} pipewire "${ARG_LABELS};pipewire" ${ARG_TIMEOUT})
    else()
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
        relayo_sanitized(${name} ${name})
    endif()
endfunction()

# The test of TARGET run through tools/test-on.sh on SERVICE, holding the services its labels name.
function(relayo_add_test_on target service labels timeout)
    set(locks ${labels})
    list(FILTER locks INCLUDE REGEX "^(pulseaudio|pipewire|x11|wayland)$")
    if("window" IN_LIST labels)
        list(APPEND locks keyring)
    endif()
    add_test(NAME ${target}-${service}
        COMMAND ${PROJECT_SOURCE_DIR}/tools/test-on.sh ${service} $<TARGET_FILE:${target}>)
    set_tests_properties(${target}-${service} PROPERTIES
        TIMEOUT ${timeout} LABELS "${labels}" RESOURCE_LOCK "${locks}")
    relayo_sanitized(${target} ${target}-${service})
endfunction()

# relayo_add_fuzzer(NAME [SOURCES ...] LIBRARIES ...): the target in fuzz/NAME (see
# fuzz/CMakeLists.txt). The sanitizer build fuzzes it for RELAYO_FUZZ_SECONDS (15) as the
# test fuzz-NAME; the ordinary build replays its seeds and regressions as fuzz-NAME-inputs.
function(relayo_add_fuzzer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    set(folder ${CMAKE_CURRENT_SOURCE_DIR}/${name})
    set(inputs ${folder}/seeds ${folder}/regressions)
    if(RELAYO_SANITIZE)
        add_executable(fuzz-${name} ${folder}/Fuzz.cpp ${ARG_SOURCES})
        target_link_options(fuzz-${name} PRIVATE -fsanitize=fuzzer)
        add_test(NAME fuzz-${name}
            COMMAND ${PROJECT_SOURCE_DIR}/tools/run-fuzzer.sh $<TARGET_FILE:fuzz-${name}>
                ${CMAKE_BINARY_DIR}/fuzz-work/${name} ${inputs})
        set_tests_properties(fuzz-${name} PROPERTIES LABELS fuzz TIMEOUT 3600)
    else()
        add_executable(fuzz-${name} ${folder}/Fuzz.cpp ${ARG_SOURCES} InputReplay.cpp)
        add_test(NAME fuzz-${name}-inputs COMMAND fuzz-${name} ${inputs})
        set_tests_properties(fuzz-${name}-inputs PROPERTIES LABELS fuzz-inputs TIMEOUT 300)
    endif()
    target_link_libraries(fuzz-${name} PRIVATE ${ARG_LIBRARIES})
    relayo_sanitized(fuzz-${name} fuzz-${name})
endfunction()

# In the sanitizer build: runs TEST with the sanitizers' options and lets
# `relayo-sanitized` build TARGET.
function(relayo_sanitized target test)
    if(NOT RELAYO_SANITIZE)
        return()
    endif()
    set_property(TEST ${test} APPEND PROPERTY LABELS asan)
    set_property(TEST ${test} PROPERTY ENVIRONMENT ${RELAYO_SANITIZER_ENVIRONMENT})
    set_property(GLOBAL APPEND PROPERTY RELAYO_SANITIZED_TARGETS ${target})
endfunction()

# The target that builds everything the sanitizer build runs.
function(relayo_add_sanitized_target)
    get_property(targets GLOBAL PROPERTY RELAYO_SANITIZED_TARGETS)
    add_custom_target(relayo-sanitized)
    add_dependencies(relayo-sanitized ${targets})
endfunction()

# relayo_add_benchmark(NAME SOURCES ... LIBRARIES ...): built into build/bench, run by ./relayo bench.
function(relayo_add_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
