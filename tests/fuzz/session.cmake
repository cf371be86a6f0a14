# Whole host sessions (the harness of the session fuzz target), replayed from
# the checked-in corpus in every configuration. The replay writes one digest
# per session to session-digests.txt in the build folder; the test script
# compares the 64-bit and the 32-bit builds' files.
add_library(kelvra_session OBJECT ${CMAKE_CURRENT_LIST_DIR}/session.cpp)
target_include_directories(kelvra_session PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(kelvra_session PRIVATE KELVRA_BUILDING_LIBRARY)
target_compile_options(kelvra_session PRIVATE ${KELVRA_WARNINGS})

set(KELVRA_SESSION_OBJECTS $<TARGET_OBJECTS:kelvra_session> ${KELVRA_ALL_OBJECTS})
add_executable(session_replay ${CMAKE_CURRENT_LIST_DIR}/session_replay.cpp ${KELVRA_SESSION_OBJECTS})
target_include_directories(session_replay PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(session_replay PRIVATE ${KELVRA_WARNINGS})
target_link_libraries(session_replay PRIVATE kelvra_host_support)
add_test(NAME session.replay
         COMMAND session_replay -o ${CMAKE_BINARY_DIR}/session-digests.txt
                 ${CMAKE_CURRENT_LIST_DIR}/corpus/session)
