################################################################################
#
# looptest
#
################################################################################

# The package builds the tree this external tree sits in.
LOOPTEST_VERSION = 0.1.0
LOOPTEST_SITE = $(BR2_EXTERNAL_LOOPTEST_PATH)/../..
LOOPTEST_SITE_METHOD = local
LOOPTEST_LICENSE = MIT
LOOPTEST_LICENSE_FILES = debian/copyright
LOOPTEST_CONF_OPTS = -DBUILD_TESTING=OFF

ifeq ($(BR2_STATIC_LIBS),y)
LOOPTEST_CONF_OPTS += -DLOOPTEST_STATIC=ON
endif

$(eval $(cmake-package))
