# Every option and variable a program's --help names must appear in the
# README, which the manual pages made from --help then agree with.
#   cmake -DPROGRAM=... -DREADME=... -P CheckHelpInReadme.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed: ${status}")
endif()
file(READ ${README} readme)
string(REGEX MATCHALL "--[a-z][a-z-]*|TARNWICK_[A-Z_]+" names "${help}")
list(REMOVE_DUPLICATES names)
foreach(name ${names})
    string(FIND "${readme}" "${name}" at)
    if(at EQUAL -1)
        list(APPEND missing ${name})
    endif()
endforeach()
if(missing)
    message(FATAL_ERROR "${PROGRAM} --help names what the README does not: ${missing}")
endif()
