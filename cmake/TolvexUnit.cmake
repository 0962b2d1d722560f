# tolvex_library(NAME <target> [LIBS ...]): one library per source folder,
# made of every .cpp in that folder, so that adding a unit needs no edit here.
# The one include root is the top of the tree: every include names its folder
# ("engine/uGetMac.h"), so a line shows which layer it reaches into.
function(tolvex_library)
  cmake_parse_arguments(A "" "NAME" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(srcs)
    add_library(${A_NAME} STATIC ${srcs})
    target_include_directories(${A_NAME} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${A_NAME} PUBLIC ${A_LIBS})
  else()
    add_library(${A_NAME} INTERFACE)
    target_include_directories(${A_NAME} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${A_NAME} INTERFACE ${A_LIBS})
  endif()
endfunction()

# tolvex_test(NAME <exe> SOURCES ... LIBS ... LABELS ... [TIMEOUT s]): one
# GoogleTest program; each of its tests becomes a ctest test with the labels.
# Labels: unit, lan (private networks, root), gui, peers (real servers), i386.
function(tolvex_test)
  cmake_parse_arguments(A "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${A_NAME} ${A_SOURCES})
  # Includes name their folder from the top of the tree ("tests/support/...").
  target_include_directories(${A_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # Test programs sit beside the program files, so that what a program finds
  # "beside itself" (vendors.db, Default/, languages/) is there for them too.
  gtest_discover_tests(${A_NAME}
    WORKING_DIRECTORY ${TOLVEX_BIN_DIR}
    PROPERTIES TIMEOUT ${A_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
  # The list-valued properties (several labels, two environment entries) are
  # set by a script of our own that ctest reads after the discovered tests:
  # passed through gtest_discover_tests, a list loses every element but the
  # first, however its ";" is escaped.
  set(props ${CMAKE_CURRENT_BINARY_DIR}/${A_NAME}_properties.cmake)
  set(env "TOLVEX_BIN_DIR=${TOLVEX_BIN_DIR};TOLVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  foreach(e IN LISTS A_ENV)
    string(APPEND env ";${e}")
  endforeach()
  file(WRITE ${props}
    "foreach(t IN LISTS ${A_NAME}_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${A_LABELS}\"\n"
    "    ENVIRONMENT \"${env}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${props})
endfunction()

# tolvex_layer_tests(LAYER <name> LIBS ...): the test programs of one tests/
# folder, found by file name so that adding a test file needs no edit here:
#   *Test.cpp      -> <name>_unit_tests   label unit
#   *LanTest.cpp   -> <name>_lan_tests    label lan        (private networks)
#   *PeerTest.cpp  -> <name>_peer_tests   labels lan;peers (real servers in them)
#   *GuiTest.cpp   -> <name>_gui_tests    label gui        (windows, offscreen)
#   *GuiLanTest.cpp  -> <name>_gui_lan_tests   labels gui;lan
#   *GuiPeerTest.cpp -> <name>_gui_peer_tests  labels gui;lan;peers
function(tolvex_layer_tests)
  cmake_parse_arguments(A "" "LAYER" "LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  file(GLOB lan CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*LanTest.cpp)
  file(GLOB peer CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*PeerTest.cpp)
  file(GLOB gui CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*GuiTest.cpp)
  # Windows driven inside a private network: both a display and root.
  file(GLOB guilan CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*GuiLanTest.cpp)
  if(guilan)
    list(REMOVE_ITEM lan ${guilan})
  endif()
  # Windows driven against real servers in a private network.
  file(GLOB guipeer CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*GuiPeerTest.cpp)
  if(guipeer)
    list(REMOVE_ITEM peer ${guipeer})
  endif()
  set(unit ${all})
  if(lan OR peer OR gui OR guilan OR guipeer)
    list(REMOVE_ITEM unit ${lan} ${peer} ${gui} ${guilan} ${guipeer})
  endif()
  if(TOLVEX_UNIT_GUI_ONLY)
    set(lan "")
    set(peer "")
    set(guilan "")
  endif()
  if(unit)
    tolvex_test(NAME ${A_LAYER}_unit_tests SOURCES ${unit} LIBS ${A_LIBS} LABELS unit)
  endif()
  if(lan)
    tolvex_test(NAME ${A_LAYER}_lan_tests SOURCES ${lan} LIBS ${A_LIBS} tolvex_lan LABELS lan TIMEOUT 600)
  endif()
  if(peer)
    tolvex_test(NAME ${A_LAYER}_peer_tests SOURCES ${peer} LIBS ${A_LIBS} tolvex_lan LABELS "lan;peers" TIMEOUT 600)
  endif()
  if(gui)
    # No display is needed: Qt draws into memory, so screenshots still work.
    tolvex_test(NAME ${A_LAYER}_gui_tests SOURCES ${gui} LIBS ${A_LIBS} LABELS gui
                ENV QT_QPA_PLATFORM=offscreen)
  endif()
  if(guilan)
    tolvex_test(NAME ${A_LAYER}_gui_lan_tests SOURCES ${guilan} LIBS ${A_LIBS} tolvex_lan
                LABELS "gui;lan" TIMEOUT 600 ENV QT_QPA_PLATFORM=offscreen)
  endif()
  # Real servers too: left out with the other network tests of a build that
  # keeps only the unit and gui tests.
  if(guipeer AND NOT TOLVEX_UNIT_GUI_ONLY)
    tolvex_test(NAME ${A_LAYER}_gui_peer_tests SOURCES ${guipeer} LIBS ${A_LIBS} tolvex_lan
                LABELS "gui;lan;peers" TIMEOUT 600 ENV QT_QPA_PLATFORM=offscreen)
  endif()
endfunction()
