# Settings every target of the project links: language level, warnings, Qt's
# strictness macros and the optional sanitizers.
add_library(kalvor_common_cfg INTERFACE)
target_compile_features(kalvor_common_cfg INTERFACE cxx_std_17)
target_compile_options(kalvor_common_cfg INTERFACE -Wall -Wextra -Wold-style-cast -Wnon-virtual-dtor)
target_compile_definitions(kalvor_common_cfg INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_USE_QSTRINGBUILDER
    QT_DISABLE_DEPRECATED_BEFORE=0x050F00
    BOOST_ALLOW_DEPRECATED_HEADERS
    BOOST_BIND_GLOBAL_PLACEHOLDERS
    $<$<CONFIG:Release,RelWithDebInfo>:_GLIBCXX_ASSERTIONS>)

if(KALVOR_SANITIZE)
    string(REPLACE ";" "," _kalvor_san "${KALVOR_SANITIZE}")
    target_compile_options(kalvor_common_cfg INTERFACE -fsanitize=${_kalvor_san} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(kalvor_common_cfg INTERFACE -fsanitize=${_kalvor_san})
endif()

# Adds a static library of the calling folder made of the listed sources.
function(kalvor_add_folder_library name)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC kalvor_common_cfg)
endfunction()
