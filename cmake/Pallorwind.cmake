# Shared build settings and small helpers for every folder of the project.

# Adds every immediate subfolder of the current folder that has a CMakeLists.txt,
# so a new component is picked up without editing its parent.
function(pallorwind_add_subdirs)
    file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT children)
    foreach(child IN LISTS children)
        if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
           AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
            add_subdirectory(${child})
        endif()
    endforeach()
endfunction()

# Registers a GoogleTest executable with CTest. LABELS go to every test of it;
# ENVIRONMENT, ENVIRONMENT_MODIFICATION, FIXTURES_REQUIRED and RESOURCE_LOCK
# too, when given. The properties are set after discovery, where lists stay
# lists (gtest_discover_tests' own PROPERTIES would flatten "net;threads").
# QT_MAIN: the tests run inside a QCoreApplication (tests/support/QtTestMain.cpp).
function(pallorwind_gtest target)
    cmake_parse_arguments(ARG "QT_MAIN" "TIMEOUT"
        "SOURCES;LIBS;LABELS;ENVIRONMENT;ENVIRONMENT_MODIFICATION;FIXTURES_REQUIRED;RESOURCE_LOCK"
        ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    if(ARG_QT_MAIN)
        target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/QtTestMain.cpp)
        target_link_libraries(${target} PRIVATE ${ARG_LIBS} Qt6::Core GTest::gtest GTest::gmock)
    else()
        target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock
                              GTest::gtest_main)
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_LIST ${target}_TESTS)
    set(props "TIMEOUT ${ARG_TIMEOUT}")
    foreach(prop LABELS ENVIRONMENT ENVIRONMENT_MODIFICATION FIXTURES_REQUIRED RESOURCE_LOCK)
        if(ARG_${prop})
            string(APPEND props " ${prop} [==[${ARG_${prop}}]==]")
        endif()
    endforeach()
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
    file(WRITE ${file}
        "if(${target}_TESTS)\n  set_tests_properties(\${${target}_TESTS} PROPERTIES ${props})\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()
