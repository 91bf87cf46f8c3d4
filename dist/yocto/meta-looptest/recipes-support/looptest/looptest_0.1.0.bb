SUMMARY = "Async loop test across two serial ports"
DESCRIPTION = "looptest sets two serial ports to the same line settings and relays every \
byte that arrives on either port out of the other, both ways at once, until it is stopped \
or its duration ends; a timed run's exit status says whether it passed."
SECTION = "console/utils"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://debian/copyright;md5=f6e00690c447c79f6e150d6058cb9967"

# The layer sits in looptest's own repository and builds the tree it came with.
inherit externalsrc cmake ptest bash-completion
EXTERNALSRC = "${@os.path.realpath(d.getVar('THISDIR') + '/../../../../..')}"
EXTERNALSRC_BUILD = "${WORKDIR}/build"
SRC_URI = "file://run-ptest"

# The unit tests are built only for the ptest package, and need GoogleTest then.
EXTRA_OECMAKE = "-DBUILD_TESTING=${@bb.utils.contains('PTEST_ENABLED', '1', 'ON', 'OFF', d)}"
DEPENDS += "${@bb.utils.contains('PTEST_ENABLED', '1', 'googletest', '', d)}"

do_install_ptest() {
    install -m 0755 ${B}/looptest_unit_tests ${D}${PTEST_PATH}/
}
