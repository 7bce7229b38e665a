# Writes the installed documents into MINCER_DOCUMENTS_DIR, at install time (install.cmake
# includes this script after setting the variables it reads):
#
#   mincer.1.gz, mincer-capture.1.gz   the manual pages, naming the music's folder under the
#                                      prefix actually installed to (MINCER_MUSIC_DIR)
#   changelog.gz                       packaging/changelog
#   copyright                          the licence of LICENSE in Debian's machine-readable format
#
# Compressed as Debian expects: gzip at its best compression, without a name or a time stamp,
# so that the same sources give the same bytes.

# gzip -9n SOURCE > TARGET
function(mincer_gzip source target)
    execute_process(COMMAND gzip -9n -c "${source}" OUTPUT_FILE "${target}"
                    RESULT_VARIABLE gzipResult)
    if(NOT gzipResult EQUAL 0)
        message(FATAL_ERROR "Compressing ${source} with gzip failed")
    endif()
endfunction()

file(MAKE_DIRECTORY "${MINCER_DOCUMENTS_DIR}")

foreach(page mincer.1 mincer-capture.1)
    configure_file("${MINCER_SOURCE_DIR}/packaging/${page}.in" "${MINCER_DOCUMENTS_DIR}/${page}"
                   @ONLY)
    mincer_gzip("${MINCER_DOCUMENTS_DIR}/${page}" "${MINCER_DOCUMENTS_DIR}/${page}.gz")
endforeach()

# The changelog's latest entry must be this version's (nothing else checks it).
file(STRINGS "${MINCER_SOURCE_DIR}/packaging/changelog" latestEntry LIMIT_COUNT 1)
if(NOT latestEntry MATCHES "^mincer \\(${MINCER_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog has no entry for version ${MINCER_VERSION} at its "
                        "top: add one")
endif()
mincer_gzip("${MINCER_SOURCE_DIR}/packaging/changelog" "${MINCER_DOCUMENTS_DIR}/changelog.gz")

# The copyright file carries the licence's terms from LICENSE (from "Permission" on; the
# copyright lines are its own), as a field's continuation lines: each line indented by a space,
# an empty line written as " .".
file(READ "${MINCER_SOURCE_DIR}/LICENSE" licence)
string(FIND "${licence}" "Permission is hereby granted" termsStart)
if(termsStart EQUAL -1)
    message(FATAL_ERROR "${MINCER_SOURCE_DIR}/LICENSE does not hold the MIT licence's terms")
endif()
string(SUBSTRING "${licence}" ${termsStart} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " MINCER_LICENSE_TEXT " ${terms}")
configure_file("${MINCER_SOURCE_DIR}/packaging/copyright.in" "${MINCER_DOCUMENTS_DIR}/copyright"
               @ONLY)
