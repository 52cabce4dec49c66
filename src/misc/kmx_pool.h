/* Pool lists: /config/cgminer.conf, /etc/cgminer.conf and the encrypted
 * /config/cg.conf; pool-URL type test; per-chain count files. */
#ifndef KMX_POOL_H
#define KMX_POOL_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KMX_POOL_NUM 3
#define KMX_POOL_TEXT 512

typedef struct pool_conf {
    char url[KMX_POOL_TEXT];
    char user[KMX_POOL_TEXT];
    char pass[KMX_POOL_TEXT];
} pool_conf;

typedef struct pool_config {
    char pool_url[KMX_POOL_TEXT];
    char pool_user[KMX_POOL_TEXT];
    char pool_pass[KMX_POOL_TEXT];
} pool_config;

int load_conf_file(pool_config *pool_p);
bool kmx_parse_cgminer_config(pool_conf *pool);
bool kmx_parse_cg_config(pool_conf *pool);
bool kmx_parse_pool_file(void *context);
int kmx_get_pool(void *pool_ctx);
bool kmx_get_pools(pool_conf *pool);
bool kmx_get_tune_status(bool *tuned);
bool kmx_parse_pool_type(char *rpc_url);
void get_cnt_array(int *arr, char *file_path);
void set_cnt_array(int *arr, char *file_path);

bool AES_Encrypt(unsigned char *Key, unsigned char *InText, int len, unsigned char *OutText);
bool AES_Decrypt(unsigned char *Key, unsigned char *InText, int len, unsigned char *OutText);
char *kmx_arg_printe(char *arg, int len);
int str_bcd2hex(char *bcd, char *hex);
int char_bcd2hex(char bcd);

/* The stored text behind the cg.conf key (16 characters); the key is
 * kmx_arg_printe(KMX_CG_KEY_TEXT, 16). Producers of cg.conf use the same. */
extern const char KMX_CG_KEY_TEXT[17];

#ifdef __cplusplus
}
#endif

#endif
