# kalvor_validate_desktop_entry(ENTRY TEMPLATE OUTPUTS_VAR): checks a configured desktop
# entry with desktop-file-validate when that is installed, appending the check's stamp
# file to the list OUTPUTS_VAR names so that a target can depend on it.
function(kalvor_validate_desktop_entry entry template outputs_var)
    find_program(KALVOR_DESKTOP_FILE_VALIDATE desktop-file-validate)
    if(NOT KALVOR_DESKTOP_FILE_VALIDATE)
        return()
    endif()
    set(_stamp ${CMAKE_CURRENT_BINARY_DIR}/desktop-entry.checked)
    add_custom_command(OUTPUT ${_stamp}
        COMMAND ${KALVOR_DESKTOP_FILE_VALIDATE} ${entry}
        COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
        DEPENDS ${template}
        COMMENT "Validating ${entry}")
    set(${outputs_var} ${${outputs_var}} ${_stamp} PARENT_SCOPE)
endfunction()
