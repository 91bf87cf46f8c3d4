include $(sort $(wildcard $(BR2_EXTERNAL_LOOPTEST_PATH)/package/*/*.mk))
